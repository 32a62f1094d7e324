// The driver's state block: 0-3 magic, 4-7 version, 8-15 bit rate in kbit/s
// as a little-endian double, 16-19 compression control in percent, 20-23 key
// seconds, 24-31 reserved (zero).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/base/bytes.h"
#include "platform/icm/av_driver.h"

namespace {

constexpr DWORD state_magic = mmioFOURCC('V', 'N', 'T', 'S');
constexpr DWORD state_version = 1;
constexpr std::size_t state_size = 32;
constexpr std::size_t state_min_size = 24;

}  // namespace

LRESULT avdrv_get_state(const AvDriver& d, std::uint8_t* buf, std::size_t n) {
    if (!buf) return state_size;
    if (n < state_size) return ICERR_BADSIZE;
    std::memset(buf, 0, state_size);
    bytes_put32(buf, state_magic);
    bytes_put32(buf + 4, state_version);
    std::uint64_t bits;
    std::memcpy(&bits, &d.state.kbps, 8);
    bytes_put32(buf + 8, static_cast<std::uint32_t>(bits));
    bytes_put32(buf + 12, static_cast<std::uint32_t>(bits >> 32));
    bytes_put32(buf + 16, static_cast<std::uint32_t>(d.state.control));
    bytes_put32(buf + 20, static_cast<std::uint32_t>(d.state.key_seconds));
    return state_size;
}

LRESULT avdrv_set_state(AvDriver& d, const std::uint8_t* buf, std::size_t n) {
    if (!buf) {
        d.state = AvState{};
        d.state_set = false;
        return 0;
    }
    if (n < state_min_size) return ICERR_BADSIZE;
    if (bytes_get32(buf) != state_magic || bytes_get32(buf + 4) != state_version) return ICERR_BADFORMAT;
    const std::uint64_t bits = bytes_get32(buf + 8) | (static_cast<std::uint64_t>(bytes_get32(buf + 12)) << 32);
    double kbps;
    std::memcpy(&kbps, &bits, 8);
    if (!std::isfinite(kbps) || kbps < 1.0 || kbps > 1.0e6) return ICERR_BADPARAM;
    d.state.kbps = kbps;
    d.state.control = std::clamp(static_cast<std::int32_t>(bytes_get32(buf + 16)), 1, 100);
    d.state.key_seconds = std::clamp(static_cast<std::int32_t>(bytes_get32(buf + 20)), 1, 9999);
    d.state_set = true;
    return static_cast<LRESULT>(std::min(n, state_size));
}
