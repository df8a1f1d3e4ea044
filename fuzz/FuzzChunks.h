#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// Cuts a fuzz input into the reads a socket might deliver: the first byte seeds the read
// sizes, so the fuzzer explores replies split at every possible point.
inline std::vector<std::string_view> fuzzChunks(const uint8_t* data, std::size_t size) {
    std::vector<std::string_view> chunks;
    if (size == 0)
        return chunks;
    unsigned seed = data[0];
    const char* text = reinterpret_cast<const char*>(data + 1);
    std::size_t left = size - 1;
    while (left > 0) {
        seed = seed * 1103515245u + 12345u;
        std::size_t length = 1 + (seed >> 16) % 97;
        if (length > left)
            length = left;
        chunks.emplace_back(text, length);
        text += length;
        left -= length;
    }
    return chunks;
}

#define FUZZ_CHECK(condition) \
    do {                      \
        if (!(condition))     \
            __builtin_trap(); \
    } while (0)
