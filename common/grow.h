// A buffer that grows to hold what it is asked to and is reused from then on,
// so that a path run once a frame stops allocating once it has seen its
// largest need.
#pragma once

#include <cstdint>
#include <cstdlib>

// Makes room for need elements of T in block (malloc'd, or null), doubling
// from 16; capacity counts elements. false when memory ran out: block and
// capacity are then as they were.
template <typename T, typename N>
bool grow_buffer(T*& block, N& capacity, uint64_t need) {
    if (need <= capacity) return true;
    uint64_t next = capacity ? capacity : 16;
    while (next < need) next *= 2;
    if (next > SIZE_MAX / sizeof(T)) return false;
    auto* grown = static_cast<T*>(std::realloc(block, static_cast<size_t>(next) * sizeof(T)));
    if (!grown) return false;
    block = grown;
    capacity = static_cast<N>(next);
    return true;
}
