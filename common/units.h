// A bit rate in kbit/s, as the programs and the codec's state block take it,
// in the units of those that consume it. The values are conventions that
// stored settings and peers rely on: each is written here once.
#pragma once

#include <cstdint>

// Bytes per second as Video for Windows' data rates and the frame budgets
// count them: 128 bytes (1024 bits) to the kbit.
constexpr std::uint64_t kbps_to_bytes_per_second(std::uint64_t kbps) { return kbps * 128u; }
constexpr double kbps_to_bytes_per_second(double kbps) { return kbps * 128.0; }
// Bits per second as libavcodec's bit rate counts them: 1000 to the kbit.
constexpr double kbps_to_bits_per_second(double kbps) { return kbps * 1000.0; }
// The MPG4 picture header's rate field: units of 1024 bits per second.
constexpr double kbps_to_header_rate(double kbps) { return kbps_to_bits_per_second(kbps) / 1024.0; }
