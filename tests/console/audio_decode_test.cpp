// Input audio made 16-bit PCM of at most two channels: PCM of every sample
// format, more channels mixed down, MP3 and AC-3 made by ffmpeg decoded to the
// samples ffmpeg's own decoding gives.
#include "console/audio_decode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "tests/support/support.h"

namespace {

// A WAVEFORMATEX and its extra bytes, as an AVI stream format holds them.
std::string wave_format(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, const std::string& extra = "") {
    WAVEFORMATEX f{};
    f.wFormatTag = tag;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    f.cbSize = static_cast<WORD>(extra.size());
    return std::string(reinterpret_cast<const char*>(&f), sizeof f) + extra;
}

// The extra bytes of WAVEFORMATEXTENSIBLE: valid bits, speaker mask and the
// subformat GUID {tag-0000-0010-8000-00AA00389B71}.
std::string extensible(uint16_t valid_bits, uint32_t mask, uint16_t subformat) {
    std::string e(22, '\0');
    std::memcpy(&e[0], &valid_bits, 2);
    std::memcpy(&e[2], &mask, 4);
    std::memcpy(&e[6], &subformat, 2);
    const uint8_t tail[14] = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    std::memcpy(&e[8], tail, sizeof tail);
    return e;
}

struct Decoded {
    std::vector<int16_t> samples;
    uint32_t rate = 0;
    uint16_t channels = 0;
    std::vector<uint32_t> counts;  // what each push gave, in sample frames
};

// Every chunk pushed in turn, then the drain.
Decoded decode(const std::string& format, const std::vector<std::string>& chunks) {
    Decoded d;
    char why[128] = "unset";
    AudioDecoder* decoder = audio_decoder_open(format.data(), static_cast<uint32_t>(format.size()), why, sizeof why);
    EXPECT_NE(decoder, nullptr) << why;
    if (!decoder) return d;
    d.rate = audio_decoder_rate(decoder);
    d.channels = audio_decoder_channels(decoder);
    const int16_t* samples = nullptr;
    uint32_t count = 0;
    for (const std::string& chunk : chunks) {
        EXPECT_EQ(audio_decoder_push(decoder, chunk.data(), static_cast<uint32_t>(chunk.size()), &samples, &count), 1);
        d.samples.insert(d.samples.end(), samples, samples + size_t(count) * d.channels);
        d.counts.push_back(count);
    }
    EXPECT_EQ(audio_decoder_drain(decoder, &samples, &count), 1);
    d.samples.insert(d.samples.end(), samples, samples + size_t(count) * d.channels);
    audio_decoder_close(decoder);
    return d;
}

// bytes cut into chunks of a few sizes, each a multiple of unit.
std::vector<std::string> chunks_of(const std::string& bytes, size_t unit) {
    std::vector<std::string> chunks;
    const size_t sizes[] = {1000, 1, 4000, 333, 2048};
    for (size_t at = 0, i = 0; at < bytes.size(); ++i) {
        const size_t n = std::min(sizes[i % 5] * unit, bytes.size() - at);
        chunks.push_back(bytes.substr(at, n));
        at += n;
    }
    return chunks;
}

template <typename T>
std::string bytes_of(const std::vector<T>& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

std::vector<int16_t> s16_of(const std::string& bytes) {
    std::vector<int16_t> v(bytes.size() / 2);
    std::memcpy(v.data(), bytes.data(), v.size() * 2);
    return v;
}

// A value of channel c at sample i that moves about the whole range.
double tone(size_t i, int c) { return 0.9 * std::sin(0.01 * double(i) * (c + 1) + c); }

TEST(AudioDecode, Pcm16StereoPassesThroughUnchanged) {
    std::vector<int16_t> pcm(2 * 20000);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(std::lround(32767 * tone(i / 2, i % 2)));
    pcm[0] = -32768;
    pcm[1] = 32767;
    const Decoded d = decode(wave_format(WAVE_FORMAT_PCM, 2, 44100, 16), chunks_of(bytes_of(pcm), 4));
    EXPECT_EQ(d.rate, 44100u);
    EXPECT_EQ(d.channels, 2);
    EXPECT_TRUE(d.samples == pcm);
    // The 16-byte format block of older files (no cbSize) is read the same.
    const Decoded short_block = decode(wave_format(WAVE_FORMAT_PCM, 2, 44100, 16).substr(0, 16), {bytes_of(pcm)});
    EXPECT_TRUE(short_block.samples == pcm);
}

TEST(AudioDecode, PcmOfEverySampleFormatBecomes16Bits) {
    struct Case {
        const char* name;
        uint16_t tag, bits;
        std::string extra;
    };
    constexpr uint16_t kFloat = 3, kExtensible = 0xFFFE;
    const Case cases[] = {
        {"8-bit", WAVE_FORMAT_PCM, 8, ""},
        {"24-bit", WAVE_FORMAT_PCM, 24, ""},
        {"32-bit", WAVE_FORMAT_PCM, 32, ""},
        {"float", kFloat, 32, ""},
        {"double", kFloat, 64, ""},
        {"extensible 24-bit", kExtensible, 24, extensible(24, 0x3, WAVE_FORMAT_PCM)},
        {"extensible float", kExtensible, 32, extensible(32, 0x3, kFloat)},
    };
    constexpr size_t kSamples = 12000;
    for (const Case& c : cases) {
        std::string bytes;
        std::vector<int16_t> expected;
        for (size_t i = 0; i < kSamples; ++i) {
            for (int ch = 0; ch < 2; ++ch) {
                const double v = tone(i, ch);
                if (c.bits == 8) {
                    const uint8_t u = static_cast<uint8_t>(std::lround(128 + 127 * v));
                    bytes.push_back(static_cast<char>(u));
                    expected.push_back(static_cast<int16_t>((u - 128) * 256));
                } else if (c.tag == kFloat || (c.tag == kExtensible && c.extra[6] == kFloat)) {
                    if (c.bits == 32) {
                        const float f = static_cast<float>(v);
                        bytes.append(reinterpret_cast<const char*>(&f), 4);
                    } else {
                        bytes.append(reinterpret_cast<const char*>(&v), 8);
                    }
                    expected.push_back(static_cast<int16_t>(std::lround(v * 32768)));
                } else {
                    const int32_t full = static_cast<int32_t>(std::lround(v * 2147483647.0));
                    const int32_t stored = c.bits == 24 ? full >> 8 : full;  // 24 bits: the top three bytes
                    bytes.append(reinterpret_cast<const char*>(&stored), c.bits / 8);
                    expected.push_back(static_cast<int16_t>(full >> 16));
                }
            }
        }
        std::string format = wave_format(c.tag, 2, 48000, c.bits, c.extra);
        const Decoded d = decode(format, chunks_of(bytes, 2 * c.bits / 8));
        EXPECT_EQ(d.channels, 2) << c.name;
        ASSERT_EQ(d.samples.size(), expected.size()) << c.name;
        int worst = 0;
        for (size_t i = 0; i < expected.size(); ++i) worst = std::max(worst, std::abs(d.samples[i] - expected[i]));
        EXPECT_LE(worst, 1) << c.name;
    }
}

// ffmpeg's own conversion of the raw input to 16-bit stereo.
std::vector<int16_t> ffmpeg_s16(const testsupport::TempDir& dir, const std::vector<std::string>& input_args) {
    const std::string out = dir.file("reference.raw");
    std::vector<std::string> args = input_args;
    args.insert(args.end(), {"-f", "s16le", "-c:a", "pcm_s16le", out});
    EXPECT_TRUE(testsupport::ffmpeg(args));
    return s16_of(testsupport::read_file(out));
}

int worst_difference(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
    int worst = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

TEST(AudioDecode, SixChannelsAreMixedDownAsFfmpegMixesThem) {
    testsupport::TempDir dir;
    std::vector<int16_t> pcm;
    for (size_t i = 0; i < 24000; ++i)
        for (int ch = 0; ch < 6; ++ch) pcm.push_back(static_cast<int16_t>(std::lround(20000 * tone(i, ch))));
    const std::string raw = dir.file("six.raw");
    FILE* f = std::fopen(raw.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(pcm.data(), 2, pcm.size(), f);
    std::fclose(f);

    struct Case {
        const char* layout;  // ffmpeg's name for the speakers the format means
        std::string format;
    };
    const Case cases[] = {
        {"FL+FR+FC+LFE+SL+SR", wave_format(WAVE_FORMAT_PCM, 6, 48000, 16)},  // the speakers six channels mean without a mask
        {"FL+FR+FC+LFE+BL+BR", wave_format(0xFFFE, 6, 48000, 16, extensible(16, 0x3F, WAVE_FORMAT_PCM))},
    };
    for (const Case& c : cases) {
        const std::vector<int16_t> want = ffmpeg_s16(
            dir, {"-f", "s16le", "-ar", "48000", "-ch_layout", c.layout, "-i", raw, "-ac", "2"});
        const Decoded d = decode(c.format, chunks_of(bytes_of(pcm), 12));
        EXPECT_EQ(d.channels, 2) << c.layout;
        EXPECT_EQ(d.samples.size(), want.size()) << c.layout;
        EXPECT_LE(worst_difference(d.samples, want), 1) << c.layout;
    }
}

// The packets libavformat reads from an elementary stream.
std::vector<std::string> packets_of(const std::string& path) {
    std::vector<std::string> packets;
    AVFormatContext* fc = nullptr;
    if (avformat_open_input(&fc, path.c_str(), nullptr, nullptr) < 0) return packets;
    AVPacket* p = av_packet_alloc();
    while (p && av_read_frame(fc, p) >= 0) {
        packets.emplace_back(reinterpret_cast<const char*>(p->data), p->size);
        av_packet_unref(p);
    }
    av_packet_free(&p);
    avformat_close_input(&fc);
    return packets;
}

struct Compressed {
    const char* name;
    const char* file;
    std::vector<std::string> codec_args;
    uint16_t tag;
    std::string extra;  // of the format block
    size_t frame_samples;  // of one frame of the codec
};

class AudioDecodeCompressed : public testing::TestWithParam<int> {
protected:
    static std::vector<Compressed> cases() {
        // MPEGLAYER3WAVEFORMAT's extra bytes: wID 1, no padding flags, 417-byte frames, one a block, delay 1393.
        const std::string mp3_extra("\x01\x00\x02\x00\x00\x00\xA1\x01\x01\x00\x71\x05", 12);
        return {
            {"mp3", "clip.mp3", {"-c:a", "libmp3lame", "-b:a", "128k", "-write_xing", "0", "-id3v2_version", "0"}, 0x55,
             mp3_extra, 1152},
            {"ac3", "clip.ac3", {"-c:a", "ac3", "-b:a", "192k"}, 0x2000, "", 1536},
        };
    }
    void make(const Compressed& c) {
        path = dir.file(c.file);
        std::vector<std::string> args{"-f", "lavfi", "-i", "sine=f=440:r=44100:d=3", "-f", "lavfi",
                                      "-i", "sine=f=1100:r=44100:d=3", "-filter_complex", "[0][1]join=inputs=2:channel_layout=stereo"};
        args.insert(args.end(), c.codec_args.begin(), c.codec_args.end());
        args.push_back(path);
        ASSERT_TRUE(testsupport::ffmpeg(args));
        format = wave_format(c.tag, 2, 44100, 0, c.extra);
        want = ffmpeg_s16(dir, {"-i", path});
        ASSERT_GT(want.size(), 44100u * 2 * 2);
    }
    testsupport::TempDir dir;
    std::string path, format;
    std::vector<int16_t> want;
};

TEST_P(AudioDecodeCompressed, PacketsOrChunksCutAnywhereGiveFfmpegsSamples) {
    const Compressed c = cases()[GetParam()];
    make(c);
    const std::vector<std::string> packets = packets_of(path);
    ASSERT_GT(packets.size(), 10u) << c.name;
    const Decoded by_packet = decode(format, packets);
    EXPECT_EQ(by_packet.rate, 44100u);
    EXPECT_EQ(by_packet.channels, 2);
    EXPECT_EQ(by_packet.samples.size(), want.size()) << c.name;
    EXPECT_LE(worst_difference(by_packet.samples, want), 1) << c.name;
    // Chunks of an AVI file need not hold whole frames.
    const Decoded by_chunk = decode(format, chunks_of(testsupport::read_file(path), 1));
    EXPECT_EQ(by_chunk.samples.size(), want.size()) << c.name;
    EXPECT_LE(worst_difference(by_chunk.samples, want), 1) << c.name;
}

TEST_P(AudioDecodeCompressed, ADamagedChunkGivesNoSamplesAndTheStreamGoesOn) {
    const Compressed c = cases()[GetParam()];
    make(c);
    std::vector<std::string> packets = packets_of(path);
    ASSERT_GT(packets.size(), 20u);
    // Bytes without 0xFF, 0x0B or 0x77 hold no header of either format to sync on.
    std::string garbage(packets[5].size(), '\0');
    uint32_t x = 12345;
    for (char& b : garbage) {
        x = x * 1103515245 + 12345;
        b = static_cast<char>((x >> 16) % 0x70 + 0x01);  // 0x01 - 0x70
        if (b == 0x0B) b = 0x0C;
    }
    std::vector<std::string> chunks(packets.begin(), packets.begin() + 10);
    chunks.push_back(garbage);
    chunks.insert(chunks.end(), packets.begin() + 10, packets.end());
    const Decoded d = decode(format, chunks);
    ASSERT_EQ(d.counts.size(), chunks.size());
    EXPECT_EQ(d.counts[10], 0u) << c.name;
    EXPECT_GT(d.counts[12], 0u) << c.name;
    // The parser finds its step again within a frame, and what follows
    // decodes as ffmpeg decodes it (compared from the end).
    const Decoded clean = decode(format, packets);
    ASSERT_LE(d.samples.size(), clean.samples.size()) << c.name;
    EXPECT_LE(clean.samples.size() - d.samples.size(), 2 * c.frame_samples) << c.name;
    const size_t tail = d.samples.size() / 2;
    EXPECT_LE(worst_difference(std::vector<int16_t>(d.samples.end() - tail, d.samples.end()),
                               std::vector<int16_t>(clean.samples.end() - tail, clean.samples.end())),
              1)
        << c.name;
    // Damage first of all, before any good chunk, as well.
    const Decoded first = decode(format, {garbage, packets[0], packets[1], packets[2]});
    EXPECT_EQ(first.counts[0], 0u);
}

INSTANTIATE_TEST_SUITE_P(Formats, AudioDecodeCompressed, testing::Values(0, 1),
                         [](const testing::TestParamInfo<int>& i) { return i.param == 0 ? "mp3" : "ac3"; });

TEST(AudioDecode, WhatCantBeDecodedSaysWhy) {
    struct Case {
        std::string format;
        const char* why;
    };
    const Case cases[] = {
        {wave_format(0xABCD, 2, 44100, 16), "no decoder for audio format 0xABCD"},
        {wave_format(WAVE_FORMAT_PCM, 2, 44100, 12), "no decoder for 12-bit PCM"},
        {wave_format(0xFFFE, 2, 44100, 16, extensible(16, 3, 0xABCD)), "no decoder for audio format 0xABCD"},
        {wave_format(WAVE_FORMAT_PCM, 2, 44100, 16).substr(0, 14), "audio format block too short"},
        {wave_format(WAVE_FORMAT_PCM, 0, 44100, 16), "audio format without channels or sample rate"},
        {wave_format(WAVE_FORMAT_PCM, 2, 0, 16), "audio format without channels or sample rate"},
        {wave_format(0xFFFE, 2, 44100, 16, "short"), "extensible audio format block too short"},
    };
    for (const Case& c : cases) {
        char why[128] = "unset";
        EXPECT_EQ(audio_decoder_open(c.format.data(), static_cast<uint32_t>(c.format.size()), why, sizeof why),
                  nullptr);
        EXPECT_STREQ(why, c.why);
    }
    audio_decoder_close(nullptr);
}

}  // namespace
