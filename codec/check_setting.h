// A setting our MPEG-4 codec drivers take from a caller that decodes every
// delta frame it is given and asks for a frame with block noise again as a key
// frame. Sent as ICM_SET with dw1 = icm_set_checked and dw2 = the caller's
// rule: the luminance difference that makes a pixel count (bits 0..15) and the
// pixels of an 8x8 block that make the block noisy (bits 16..31). A codec that
// does not know the setting answers ICERR_UNSUPPORTED, as ICM_SET asks of it.
// Shared by the engine and the drivers; no other header needed.
#pragma once

#include <cstdint>

constexpr std::uint32_t icm_set_checked = 0x6B436E56;  // mmioFOURCC('V', 'n', 'C', 'k')

constexpr std::uint32_t icm_checked_rule(std::int32_t diff_threshold, std::int32_t pixel_threshold) {
    return (static_cast<std::uint32_t>(diff_threshold) & 0xFFFFu) |
           (static_cast<std::uint32_t>(pixel_threshold) & 0xFFFFu) << 16;
}
constexpr int icm_checked_diff(std::uint32_t rule) { return static_cast<int>(rule & 0xFFFFu); }
constexpr int icm_checked_pixels(std::uint32_t rule) { return static_cast<int>(rule >> 16); }
