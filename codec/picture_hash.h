// A whole-picture hash that tells the encoder a redo of the picture it coded
// last from the next picture. Every byte counts, in order: a wrong "same"
// would drop a kept frame from the rate control's accounting.
#pragma once

#include <cstddef>
#include <cstdint>

// The hash of the n bytes at data: the same bytes always give the same hash.
std::uint64_t picture_hash(const void* data, std::size_t n);
