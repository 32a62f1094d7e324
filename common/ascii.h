// ASCII text as the formats and the registry treat it: case folded letter by
// letter, whatever the locale, and FourCC codes as text and as the case-blind
// keys codec handlers are matched by.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Upper-cases the ASCII letters of a FourCC: handlers match case-insensitively.
constexpr std::uint32_t fourcc_fold(std::uint32_t fcc) {
    std::uint32_t out = 0;
    for (int i = 0; i < 4; ++i)
        out |= static_cast<std::uint32_t>(static_cast<unsigned char>(ascii_upper(static_cast<char>(fcc >> (8 * i)))))
               << (8 * i);
    return out;
}

// The four characters of a FourCC, first byte first, and a terminating zero.
constexpr std::array<char, 5> fourcc_text(std::uint32_t fcc) {
    std::array<char, 5> text{};
    for (std::size_t i = 0; i < 4; ++i) text[i] = static_cast<char>((fcc >> (8 * i)) & 0xFF);
    return text;
}

static_assert(fourcc_fold(0x3234706Du) == 0x3234504Du);  // "mp42" -> "MP42"
static_assert(fourcc_text(0x3234504Du)[0] == 'M' && fourcc_text(0x3234504Du)[3] == '2');
