#include "engine/mp3.h"

#include <lame.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
// Layer III bit rates by header index (0 is free format, which we never write).
constexpr int32_t kMpeg1Kbps[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr int32_t kMpeg2Kbps[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};

// LAME's quality switch (0 best and slowest, 9 fastest). 3, LAME's own
// default, encodes a minute of 48 kHz stereo in about a second of one core,
// no slower than 5 here; 2 takes three times as long, 0 ten.
constexpr int kQuality = 3;
// LAME is fed at most this many samples a call, so that its output bound
// stays well inside an int however much the caller hands over at once.
constexpr uint32_t kSlice = 1u << 20;
// LAME's own bound for what one call can emit: 1.25 * samples + 7200 bytes.
uint32_t lame_bound(uint32_t samples) { return samples + samples / 4 + 7200; }

bool mpeg1_rate(int32_t output_rate) { return output_rate >= 32000; }

// Bytes of the MP3 frame whose header starts at h (4 bytes), or 0 when h is
// not a layer III header we could have written.
uint32_t frame_bytes(const uint8_t* h) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return 0;
    const int version = (h[1] >> 3) & 3;  // 0: MPEG-2.5, 1: reserved, 2: MPEG-2, 3: MPEG-1
    const int layer = (h[1] >> 1) & 3;    // 1: layer III
    const int rate_index = (h[2] >> 2) & 3;
    const int kbps_index = h[2] >> 4;
    if (version == 1 || layer != 1 || rate_index == 3 || kbps_index == 0 || kbps_index == 15) return 0;
    static constexpr int32_t base[3] = {44100, 48000, 32000};
    const int32_t rate = base[rate_index] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const int32_t kbps = version == 3 ? kMpeg1Kbps[kbps_index] : kMpeg2Kbps[kbps_index];
    const uint32_t padding = (h[2] >> 1) & 1;
    return static_cast<uint32_t>((version == 3 ? 144000 : 72000) * kbps / rate) + padding;
}

// Grows an owned buffer to hold at least need bytes; old contents kept.
int reserve(uint8_t*& buffer, uint32_t& capacity, uint32_t need) {
    if (need <= capacity) return 1;
    auto* grown = static_cast<uint8_t*>(std::realloc(buffer, need));
    if (!grown) return 0;
    buffer = grown;
    capacity = need;
    return 1;
}

// Moves the whole frames at the front of pending to the end of out; a frame
// LAME has only begun stays in pending for the next call. 0 when the bytes
// are not MP3 frames (LAME wrote something we did not ask for) or memory ran out.
int take_whole_frames(Mp3Encoder& e) {
    uint32_t whole = 0;
    while (e.pending_bytes - whole >= 4) {
        const uint32_t bytes = frame_bytes(e.pending + whole);
        if (bytes == 0) return 0;
        if (bytes > e.pending_bytes - whole) break;
        whole += bytes;
    }
    if (whole == 0) return 1;
    if (!reserve(e.out, e.out_capacity, e.out_bytes + whole)) return 0;
    std::memcpy(e.out + e.out_bytes, e.pending, whole);
    e.out_bytes += whole;
    e.pending_bytes -= whole;
    std::memmove(e.pending, e.pending + whole, e.pending_bytes);
    return 1;
}

}  // namespace

int32_t mp3_sample_rate(int32_t sample_rate) {
    int32_t best = kRates[0];
    for (const int32_t rate : kRates) {
        const int64_t d = static_cast<int64_t>(rate) - sample_rate;
        const int64_t best_d = static_cast<int64_t>(best) - sample_rate;
        if ((d < 0 ? -d : d) < (best_d < 0 ? -best_d : best_d)) best = rate;
    }
    return best;
}

int32_t mp3_round_kbps(int32_t kbps, int32_t sample_rate) {
    if (kbps < 32) kbps = 32;
    if (kbps > 320) kbps = 320;
    const int32_t* table = mpeg1_rate(mp3_sample_rate(sample_rate)) ? kMpeg1Kbps : kMpeg2Kbps;
    int32_t best = table[1];
    for (int i = 2; i < 15; ++i) {
        // Strictly nearer only: of two at the same distance the lower, met first, stays.
        const int32_t d = table[i] > kbps ? table[i] - kbps : kbps - table[i];
        const int32_t best_d = best > kbps ? best - kbps : kbps - best;
        if (d < best_d) best = table[i];
    }
    return best;
}

int mp3_open(Mp3Encoder& encoder, int32_t sample_rate, int32_t channels, int32_t kbps) {
    encoder = Mp3Encoder{};
    if (sample_rate <= 0 || (channels != 1 && channels != 2)) return 0;
    Mp3Encoder e{};
    e.channels = channels;
    e.input_rate = sample_rate;
    e.output_rate = mp3_sample_rate(sample_rate);
    // Rounded again (a no-op for a rounded rate) so that the format block
    // always states the rate LAME really writes.
    e.kbps = mp3_round_kbps(kbps, sample_rate);
    lame_t lame = lame_init();
    if (!lame) return 0;
    e.lame = lame;
    // Set explicitly: left to itself LAME picks a lower output rate for low bit rates.
    lame_set_in_samplerate(lame, e.input_rate);
    lame_set_out_samplerate(lame, e.output_rate);
    lame_set_num_channels(lame, channels);
    lame_set_mode(lame, channels == 1 ? MONO : JOINT_STEREO);
    lame_set_VBR(lame, vbr_off);
    lame_set_brate(lame, e.kbps);
    lame_set_quality(lame, kQuality);
    // In AVI the frames are stored raw: no Xing/LAME header frame, no ID3 tags.
    lame_set_bWriteVbrTag(lame, 0);
    lame_set_write_id3tag_automatic(lame, 0);
    if (lame_init_params(lame) < 0 || lame_get_out_samplerate(lame) != e.output_rate ||
        lame_get_brate(lame) != e.kbps) {
        mp3_close(e);
        return 0;
    }
    encoder = e;
    return 1;
}

int mp3_encode(Mp3Encoder& encoder, const int16_t* samples, uint32_t sample_count) {
    Mp3Encoder& e = encoder;
    e.out_bytes = 0;
    if (!e.lame) return 0;
    auto* lame = static_cast<lame_t>(e.lame);
    while (sample_count > 0) {
        const uint32_t n = sample_count < kSlice ? sample_count : kSlice;
        const uint32_t room = lame_bound(n);
        if (!reserve(e.pending, e.pending_capacity, e.pending_bytes + room)) return 0;
        uint8_t* to = e.pending + e.pending_bytes;
        // LAME reads the samples only, whatever its prototypes say.
        auto* pcm = const_cast<short*>(reinterpret_cast<const short*>(samples));
        const int written = e.channels == 2
                                ? lame_encode_buffer_interleaved(lame, pcm, static_cast<int>(n), to, static_cast<int>(room))
                                : lame_encode_buffer(lame, pcm, pcm, static_cast<int>(n), to, static_cast<int>(room));
        if (written < 0) return 0;
        e.pending_bytes += static_cast<uint32_t>(written);
        if (!take_whole_frames(e)) return 0;
        samples += static_cast<size_t>(n) * e.channels;
        sample_count -= n;
    }
    return 1;
}

int mp3_flush(Mp3Encoder& encoder) {
    Mp3Encoder& e = encoder;
    e.out_bytes = 0;
    if (!e.lame) return 0;
    const uint32_t room = lame_bound(0);
    if (!reserve(e.pending, e.pending_capacity, e.pending_bytes + room)) return 0;
    const int written = lame_encode_flush(static_cast<lame_t>(e.lame), e.pending + e.pending_bytes, static_cast<int>(room));
    if (written < 0) return 0;
    e.pending_bytes += static_cast<uint32_t>(written);
    if (!take_whole_frames(e)) return 0;
    // LAME's flush completes its last frame; anything left would be a frame
    // cut short, which no decoder could use.
    return e.pending_bytes == 0;
}

void mp3_close(Mp3Encoder& encoder) {
    if (encoder.lame) lame_close(static_cast<lame_t>(encoder.lame));
    std::free(encoder.out);
    std::free(encoder.pending);
    encoder = Mp3Encoder{};
}

MPEGLAYER3WAVEFORMAT mp3_wave_format(const Mp3Encoder& encoder) {
    MPEGLAYER3WAVEFORMAT f{};
    f.wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    f.wfx.nChannels = static_cast<WORD>(encoder.channels);
    f.wfx.nSamplesPerSec = static_cast<DWORD>(encoder.output_rate);
    f.wfx.nAvgBytesPerSec = static_cast<DWORD>(encoder.kbps) * 125;
    f.wfx.nBlockAlign = 1;
    f.wfx.wBitsPerSample = 0;
    f.wfx.cbSize = MPEGLAYER3_WFX_EXTRA_BYTES;
    f.wID = MPEGLAYER3_ID_MPEG;
    // LAME pads frames to keep a constant rate exactly where a frame's bytes
    // are not whole: at 44.1, 22.05 and 11.025 kHz (every rate of those
    // bases); at the others every frame has the same size and none is padded.
    const bool padded = encoder.output_rate % 11025 == 0;
    f.fdwFlags = padded ? MPEGLAYER3_FLAG_PADDING_ISO : MPEGLAYER3_FLAG_PADDING_OFF;
    if (encoder.output_rate > 0) {
        const int32_t per_frame = mpeg1_rate(encoder.output_rate) ? 144000 : 72000;
        f.nBlockSize = static_cast<WORD>(per_frame * encoder.kbps / encoder.output_rate);
    }
    f.nFramesPerBlock = 1;
    f.nCodecDelay = 1393;
    return f;
}

AVISTREAMINFOA mp3_stream_info(const Mp3Encoder& encoder) {
    AVISTREAMINFOA si{};
    si.fccType = streamtypeAUDIO;
    si.dwScale = 1;
    si.dwRate = static_cast<DWORD>(encoder.kbps) * 125;
    si.dwSampleSize = 1;
    si.dwQuality = static_cast<DWORD>(-1);
    return si;
}
