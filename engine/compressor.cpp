#include "engine/compressor.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/bytes.h"
#include "common/units.h"

namespace {

constexpr DWORD kQuality = 10000;
// The frames information the codec is sent has the 64-byte layout of 32-bit Windows there.
static_assert(sizeof(void*) != 4 || sizeof(ICCOMPRESSFRAMES) == 64);

// Gives up an open that got as far as ICOpen: nothing was begun, so no end message.
int open_failed(Compressor& c, CompressorFailure why) {
    std::free(c.previous_frame);
    if (c.hic) ICClose(c.hic);
    c = Compressor{};
    c.failure = why;
    return 0;
}

// Writes bit rate, compression control and key seconds into the codec's own
// state block and hands it back; every other byte stays as the codec gave it.
// A codec with no state, or one too short for the three words, is left alone.
int patch_state(Compressor& c, int32_t bit_rate, int32_t key_seconds, int32_t compression_control) {
    const LRESULT size = ICSendMessage(c.hic, ICM_GETSTATE, 0, 0);
    if (size < static_cast<LRESULT>(state_block_min_size)) return 1;
    // Zeroed, so that a codec that fills less than it announced hands back no stray bytes.
    auto* state = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(size), 1));
    if (!state) return 0;
    ICSendMessage(c.hic, ICM_GETSTATE, reinterpret_cast<DWORD_PTR>(state), static_cast<DWORD_PTR>(size));
    bytes_put32(state + state_block_kbps_high_at, compressor_rate_word(bit_rate));
    bytes_put32(state + state_block_control_at, static_cast<uint32_t>(compression_control));
    bytes_put32(state + state_block_key_seconds_at, static_cast<uint32_t>(key_seconds));
    ICSendMessage(c.hic, ICM_SETSTATE, reinterpret_cast<DWORD_PTR>(state), static_cast<DWORD_PTR>(size));
    std::free(state);
    return 1;
}

void send_begin(Compressor& c) {
    ICSendMessage(c.hic, ICM_COMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(&c.input_format),
                  reinterpret_cast<DWORD_PTR>(&c.output_format));
}

}  // namespace

CompressorBudgets compressor_budgets(uint32_t image_size, int32_t bit_rate, int32_t key_seconds, uint32_t scale,
                                     uint32_t rate) {
    CompressorBudgets b{};
    const uint32_t kbps = static_cast<uint32_t>(bit_rate);
    const uint32_t seconds = static_cast<uint32_t>(key_seconds);
    b.data_rate = static_cast<uint32_t>(kbps_to_bytes_per_second(uint64_t{kbps}));
    if (scale == 0) return b;
    // 64-bit, so that long key distances at high rates don't wrap; wherever
    // 32 bits would not have wrapped the results are the same.
    const uint64_t frames_per_period = static_cast<uint64_t>(rate) * seconds / scale;
    // Kept so that key_interval + 1, the counter after a begin, still fits.
    b.key_interval = static_cast<uint32_t>(
        std::min<uint64_t>(frames_per_period + 1, (std::numeric_limits<uint32_t>::max)() - 1));
    const uint64_t delta = kbps_to_bytes_per_second(uint64_t{kbps}) * seconds / (frames_per_period + 5);
    const uint64_t key = 5 * delta;
    b.delta_budget = static_cast<uint32_t>(std::min<uint64_t>(delta, image_size));
    b.key_budget = static_cast<uint32_t>(std::min<uint64_t>(key, image_size));
    return b;
}

uint32_t compressor_rate_word(int32_t bit_rate) {
    return static_cast<uint32_t>(std::bit_cast<uint64_t>(static_cast<double>(bit_rate)) >> 32);
}

uint32_t frame_buffer_bytes(const BITMAPINFOHEADER& format) {
    const uint64_t width = static_cast<uint64_t>(std::abs(static_cast<int64_t>(format.biWidth)));
    const uint64_t height = static_cast<uint64_t>(std::abs(static_cast<int64_t>(format.biHeight)));
    const uint64_t padded_row = dib_stride(format.biWidth, format.biBitCount);
    // Codecs code whole 16 x 16 blocks: a compressed frame of a tiny picture
    // may need more room than the picture itself.
    const uint64_t blocks = ((width + 15) / 16 * 16) * ((height + 15) / 16 * 16) * 3;
    const uint64_t bytes = std::max<uint64_t>({padded_row * height, format.biSizeImage, blocks});
    if (bytes == 0 || bytes > static_cast<uint64_t>((std::numeric_limits<int32_t>::max)())) return 0;
    return static_cast<uint32_t>(bytes);
}

int compressor_open(Compressor& c, const BITMAPINFOHEADER& input, DWORD codec, int32_t bit_rate,
                    int32_t key_seconds, int32_t compression_control, uint32_t scale, uint32_t rate) {
    c = Compressor{};
    const uint32_t buffer_size = frame_buffer_bytes(input);
    if (scale == 0 || buffer_size == 0) {
        c.failure = CompressorFailure::bad_format;
        return 0;
    }
    c.hic = ICOpen(ICTYPE_VIDEO, codec, ICMODE_COMPRESS);
    if (!c.hic) {
        c.failure = CompressorFailure::codec_unavailable;
        return 0;
    }
    c.input_format = input;
    c.output_format = input;
    c.output_format.biCompression = codec;
    c.image_size = input.biSizeImage;
    // Zeroed: a codec that reads the padded extent of a row finds defined bytes.
    c.buffer_size = buffer_size;
    // Our built-in drivers keep their own reference picture and never read
    // the previous frame: it is kept (a copy of every frame) for installed
    // codecs only.
    if (!icm_builtin_compressor(codec)) {
        c.previous_frame = static_cast<uint8_t*>(std::calloc(buffer_size, 1));
        if (!c.previous_frame) return open_failed(c, CompressorFailure::memory);
    }

    const CompressorBudgets b = compressor_budgets(c.image_size, bit_rate, key_seconds, scale, rate);
    c.data_rate = b.data_rate;
    c.key_interval = b.key_interval;
    c.delta_budget = b.delta_budget;
    c.key_budget = b.key_budget;

    // lFrameCount is the key interval, not the length of the source.
    ICCOMPRESSFRAMES info{};
    info.lpbiOutput = &c.output_format;
    info.lpbiInput = &c.input_format;
    info.lFrameCount = static_cast<LONG>(c.key_interval);
    info.lQuality = static_cast<LONG>(kQuality);
    info.lDataRate = static_cast<LONG>(c.data_rate);
    info.lKeyRate = static_cast<LONG>(c.key_interval);
    info.dwRate = rate;
    info.dwScale = scale;
    ICSendMessage(c.hic, ICM_COMPRESS_FRAMES_INFO, reinterpret_cast<DWORD_PTR>(&info), sizeof info);

    if (!patch_state(c, bit_rate, key_seconds, compression_control))
        return open_failed(c, CompressorFailure::memory);

    c.frames_since_key = c.key_interval + 1;
    send_begin(c);
    return 1;
}

int compressor_encode(Compressor& c, const void* source_bits, void* output_buffer, int& is_key,
                      DWORD& compressed_size) {
    DWORD flags = 0;
    const bool key_request = c.frames_since_key >= c.key_interval;
    auto* source = const_cast<void*>(source_bits);
    // lFrameNum counts from the last key frame, not from the start of the output.
    const DWORD result = ICCompress(c.hic, key_request ? ICCOMPRESS_KEYFRAME : 0, &c.output_format, output_buffer,
                                    &c.input_format, source, nullptr, &flags,
                                    key_request ? 0 : static_cast<LONG>(c.frames_since_key),
                                    key_request ? c.key_budget : c.delta_budget, kQuality, &c.input_format,
                                    key_request ? nullptr : c.previous_frame);
    // After the call: during it previous_frame still held the frame before this one.
    if (c.previous_frame) std::memcpy(c.previous_frame, source_bits, c.image_size);

    if (result != static_cast<DWORD>(ICERR_OK) || c.output_format.biSizeImage > c.buffer_size) {
        // Nothing usable came out, and the codec's references are in doubt:
        // whatever follows starts from a key frame.
        c.frames_since_key = c.key_interval + 1;
        is_key = 0;
        compressed_size = 0;
        return 0;
    }
    // The codec's answer decides, not the request.
    if (flags & AVIIF_KEYFRAME) {
        c.frames_since_key = 1;
        is_key = 1;
    } else {
        c.frames_since_key += 1;
        is_key = 0;
    }
    compressed_size = c.output_format.biSizeImage;
    return 1;
}

int compressor_force_key(Compressor& c) {
    c.frames_since_key = c.key_interval + 1;
    // A second begin without an end: the codec restarts on the next frame.
    if (c.hic) send_begin(c);
    return 1;
}

void compressor_declare_check(Compressor& c, int32_t diff_threshold, int32_t pixel_threshold) {
    if (c.hic)
        ICSendMessage(c.hic, ICM_SET, icm_set_checked, icm_checked_rule(diff_threshold, pixel_threshold));
}

int compressor_close(Compressor& c) {
    if (c.previous_frame) {
        std::free(c.previous_frame);
        c.previous_frame = nullptr;
    }
    if (c.hic) {
        ICSendMessage(c.hic, ICM_COMPRESS_END, 0, 0);
        ICClose(c.hic);
        c.hic = nullptr;
    }
    return 1;
}
