#pragma once

// The camera command table: command number -> register, default value and extension-unit
// selector; and the per-model table that picks the command table for a model code.

#include <array>
#include <cstdint>

struct KXCommandRow {
    int32_t command;
    uint16_t registerAddress;
    uint16_t defaultValue;
    int32_t selector;  // 0: an empty row
};

struct KXModelRow {
    int32_t model;
    const KXCommandRow* commands;  // kKXCommandCount rows
};

inline constexpr int kKXCommandCount = 104;
inline constexpr int kKXModelCount = 12;

extern const std::array<KXCommandRow, kKXCommandCount> kKXCommandTable;
extern const KXModelRow kKXModelTable[kKXModelCount];

// The command table of a model code, or null (no table: every request answers -255).
const KXCommandRow* KXCommandTableForModel(int model);
