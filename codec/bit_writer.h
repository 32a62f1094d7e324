// MSB-first bit writer into a caller's buffer of fixed capacity.
//
// Contract: put() takes up to 32 bits at a time; bits go out in whole 32-bit
// words from a 64-bit accumulator, so a put is a shift, an or and now and then
// one store. Nothing is allocated. Writing past the capacity never touches
// memory beyond it: the writer only notes the overflow, and finish() then
// answers 0, so a caller can code again coarser with nothing half-written
// being mistaken for a picture.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/mpg4_tables.h"

#pragma GCC visibility push(hidden)

struct BitWriter {
    std::uint8_t* data = nullptr;
    std::size_t capacity = 0;
    std::size_t bytes = 0;   // whole bytes stored so far
    std::uint64_t acc = 0;   // the low `count` bits are pending, first bit highest
    int count = 0;           // fewer than 32 between calls
    bool overflow = false;
};

inline void bit_writer_open(BitWriter& w, std::uint8_t* data, std::size_t capacity) {
    w = BitWriter{};
    w.data = data;
    w.capacity = data ? capacity : 0;
}

// Appends the low n bits of v (0 <= n <= 32); bits above n are ignored.
inline void bit_writer_put(BitWriter& w, std::uint32_t v, int n) {
    if (n <= 0) return;
    const std::uint64_t mask = (std::uint64_t{1} << n) - 1;
    w.acc = (w.acc << n) | (v & mask);
    w.count += n;
    if (w.count < 32) return;
    w.count -= 32;
    const auto word = static_cast<std::uint32_t>(w.acc >> w.count);
    if (w.bytes + 4 <= w.capacity) {
        w.data[w.bytes] = static_cast<std::uint8_t>(word >> 24);
        w.data[w.bytes + 1] = static_cast<std::uint8_t>(word >> 16);
        w.data[w.bytes + 2] = static_cast<std::uint8_t>(word >> 8);
        w.data[w.bytes + 3] = static_cast<std::uint8_t>(word);
        w.bytes += 4;
    } else {
        w.overflow = true;
        w.bytes = w.capacity;  // later words cannot fit either
    }
}

inline void bit_writer_put(BitWriter& w, const Mpg4Code& c) { bit_writer_put(w, c.code, c.len); }

// Bits written so far; meaningful only while nothing overflowed.
inline std::size_t bit_writer_bits(const BitWriter& w) { return w.bytes * 8 + static_cast<std::size_t>(w.count); }

// Appends everything src holds so far (its stored bytes and pending bits; src
// not finished) at w's bit position, as if it had been put into w. An
// overflow of src is one of w's.
inline void bit_writer_append(BitWriter& w, const BitWriter& src) {
    if (src.overflow) {
        w.overflow = true;
        w.bytes = w.capacity;
        return;
    }
    const std::uint8_t* p = src.data;
    std::size_t i = 0;
    for (; i + 4 <= src.bytes; i += 4)
        bit_writer_put(w, static_cast<std::uint32_t>(p[i]) << 24 | static_cast<std::uint32_t>(p[i + 1]) << 16 |
                              static_cast<std::uint32_t>(p[i + 2]) << 8 | p[i + 3], 32);
    for (; i < src.bytes; ++i) bit_writer_put(w, p[i], 8);
    bit_writer_put(w, static_cast<std::uint32_t>(src.acc), src.count);
}

// Pads with zero bits to a whole byte and stores the rest. Returns the size
// in bytes, or 0 when the bits did not fit the capacity.
inline std::size_t bit_writer_finish(BitWriter& w) {
    if (w.count & 7) bit_writer_put(w, 0, 8 - (w.count & 7));
    while (w.count >= 8) {
        w.count -= 8;
        if (!w.overflow && w.bytes < w.capacity)
            w.data[w.bytes++] = static_cast<std::uint8_t>(w.acc >> w.count);
        else
            w.overflow = true;
    }
    return w.overflow ? 0 : w.bytes;
}

#pragma GCC visibility pop
