// The driver's state block (state_block.h).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/bytes.h"
#include "codec/driver.h"
#include "codec/state_block.h"

LRESULT codec_get_state(const CodecDriver& d, std::uint8_t* buf, std::size_t n) {
    if (!buf) return state_block_size;
    if (n < state_block_size) return ICERR_BADSIZE;
    std::memset(buf, 0, state_block_size);
    bytes_put32(buf + state_block_magic_at, state_block_magic);
    bytes_put32(buf + state_block_version_at, state_block_version);
    std::uint64_t bits;
    std::memcpy(&bits, &d.state.kbps, 8);
    bytes_put32(buf + state_block_kbps_at, static_cast<std::uint32_t>(bits));
    bytes_put32(buf + state_block_kbps_high_at, static_cast<std::uint32_t>(bits >> 32));
    bytes_put32(buf + state_block_control_at, static_cast<std::uint32_t>(d.state.control));
    bytes_put32(buf + state_block_key_seconds_at, static_cast<std::uint32_t>(d.state.key_seconds));
    return state_block_size;
}

LRESULT codec_set_state(CodecDriver& d, const std::uint8_t* buf, std::size_t n) {
    if (!buf) {
        d.state = CodecState{};
        d.state_set = false;
        return 0;
    }
    if (n < state_block_min_size) return ICERR_BADSIZE;
    if (bytes_get32(buf + state_block_magic_at) != state_block_magic || bytes_get32(buf + state_block_version_at) != state_block_version) return ICERR_BADFORMAT;
    const std::uint64_t bits = bytes_get32(buf + state_block_kbps_at) | (static_cast<std::uint64_t>(bytes_get32(buf + state_block_kbps_high_at)) << 32);
    double kbps;
    std::memcpy(&kbps, &bits, 8);
    if (!std::isfinite(kbps) || kbps < 1.0 || kbps > 1.0e6) return ICERR_BADPARAM;
    d.state.kbps = kbps;
    d.state.control = std::clamp(static_cast<std::int32_t>(bytes_get32(buf + state_block_control_at)), 1, 100);
    d.state.key_seconds = std::clamp(static_cast<std::int32_t>(bytes_get32(buf + state_block_key_seconds_at)), 1, 9999);
    d.state_set = true;
    return static_cast<LRESULT>(std::min(n, state_block_size));
}
