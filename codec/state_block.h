// The state block our codec's drivers hand out with ICM_GETSTATE and take
// back with ICM_SETSTATE. The engine writes the bit rate's upper word, the
// compression control and the key seconds into whatever block a codec gives
// it and leaves every other byte as the codec gave it; the drivers read and
// write the whole block. Shared by both; no other header needed.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::uint32_t state_block_magic = 0x53544E56;  // mmioFOURCC('V', 'N', 'T', 'S')
constexpr std::uint32_t state_block_version = 1;

// Byte offsets of the little-endian fields.
constexpr std::size_t state_block_magic_at = 0;
constexpr std::size_t state_block_version_at = 4;
constexpr std::size_t state_block_kbps_at = 8;  // bit rate in kbit/s, an IEEE double
// The double's upper word: for a whole number of kbit/s the lower word is
// zero, so the engine writes this word alone.
constexpr std::size_t state_block_kbps_high_at = 12;
constexpr std::size_t state_block_control_at = 16;      // compression control in percent
constexpr std::size_t state_block_key_seconds_at = 20;  // seconds between key frames
// 24-31 reserved (zero).

constexpr std::size_t state_block_size = 32;
// What a block must hold for the three words the engine writes.
constexpr std::size_t state_block_min_size = 24;
static_assert(state_block_key_seconds_at + 4 == state_block_min_size);
