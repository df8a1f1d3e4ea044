#include "Control/KXCommandTable.h"

#include <array>

namespace {

constexpr int32_t kSelector = 5;

constexpr std::array<KXCommandRow, kKXCommandCount> buildCommandTable() {
    std::array<KXCommandRow, kKXCommandCount> t{};
    for (int i = 0; i < kKXCommandCount; ++i) {
        t[i] = KXCommandRow{i, 0, 0, 0};
    }
    auto row = [&t](int command, uint16_t reg, uint16_t value) {
        t[command] = KXCommandRow{command, reg, value, kSelector};
    };
    row(1, 0x0011, 0x00AA);   // factory-reset trigger
    row(2, 0x0025, 0x00AA);   // auto-focus trigger
    row(3, 0x0002, 0x00AA);   // auto-white-balance trigger
    row(5, 0x0044, 0x0000);   // auto-tracking enable
    row(10, 0x00E0, 0x0000);  // focus mode (read)
    row(11, 0x00E0, 0x0000);  // focus mode (write)
    row(12, 0x002B, 0x0000);  // focus stop
    row(13, 0x002B, 0x0031);  // focus near
    row(14, 0x002B, 0x0021);  // focus far
    row(20, 0x0027, 0x0033);  // pan/tilt stop
    row(21, 0x0027, 0x0031);  // up
    row(22, 0x0027, 0x0032);  // down
    row(23, 0x0027, 0x0013);  // left
    row(24, 0x0027, 0x0023);  // right
    row(25, 0x0021, 0x00AA);  // home
    row(26, 0x0027, 0x0011);  // up-left
    row(27, 0x0027, 0x0021);  // up-right
    row(28, 0x0027, 0x0012);  // down-left
    row(29, 0x0027, 0x0022);  // down-right
    row(30, 0x0028, 0x0022);  // pan speed
    row(31, 0x0029, 0x0022);  // tilt speed
    row(35, 0x002A, 0x0000);  // zoom stop
    row(36, 0x002A, 0x0021);  // zoom in
    row(37, 0x002A, 0x0031);  // zoom out
    row(40, 0x000B, 0x0000);  // mirror/flip
    for (int c = 50; c <= 56; ++c) {
        row(c, static_cast<uint16_t>(0x0080 + (c - 50)), 0x0000);  // firmware version characters
    }
    row(70, 0x001D, 0x0000);  // call preset
    row(71, 0x001E, 0x0000);  // save preset
    row(72, 0x001F, 0x0000);  // reset preset
    row(73, 0x00DA, 0x0000);  // white-balance mode
    row(74, 0x0014, 0x0000);
    for (int c = 80; c <= 103; ++c) {
        row(c, static_cast<uint16_t>(0x01A8 + (c - 80)), 0x0000);  // model name characters
    }
    return t;
}

}  // namespace

constinit const std::array<KXCommandRow, kKXCommandCount> kKXCommandTable = buildCommandTable();

// Every model shares the one command table today; the per-model indirection stays so that
// a model with different registers needs only a new table.
constinit const KXModelRow kKXModelTable[kKXModelCount] = {
    {0, kKXCommandTable.data()}, {1, kKXCommandTable.data()},  {2, kKXCommandTable.data()},
    {3, kKXCommandTable.data()}, {4, kKXCommandTable.data()},  {5, kKXCommandTable.data()},
    {6, kKXCommandTable.data()}, {7, kKXCommandTable.data()},  {8, kKXCommandTable.data()},
    {9, kKXCommandTable.data()}, {10, kKXCommandTable.data()}, {11, kKXCommandTable.data()},
};

const KXCommandRow* KXCommandTableForModel(int model) {
    for (const KXModelRow& row : kKXModelTable) {
        if (row.model == model) {
            return row.commands;
        }
    }
    return nullptr;
}
