#include "engine/mp3.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/alloc_counter.h"
#include "tests/support/support.h"

namespace {

TEST(Mp3SampleRate, TheInputsOwnOrTheNearestMp3Has) {
    struct Case {
        int32_t in, out;
    };
    for (const Case c : {Case{8000, 8000}, Case{11025, 11025}, Case{12000, 12000}, Case{16000, 16000},
                         Case{22050, 22050}, Case{24000, 24000}, Case{32000, 32000}, Case{44100, 44100},
                         Case{48000, 48000}, Case{96000, 48000}, Case{192000, 48000}, Case{37800, 32000},
                         Case{44056, 44100}, Case{46050, 44100} /* midway: the lower */, Case{46051, 48000},
                         Case{6000, 8000}, Case{1, 8000}, Case{0, 8000}, Case{-44100, 8000}}) {
        EXPECT_EQ(mp3_sample_rate(c.in), c.out) << c.in;
    }
}

TEST(Mp3RoundKbps, ClampedThenTheNearestRateOfTheMpegVersion) {
    struct Case {
        int32_t kbps, sample_rate, out;
    };
    for (const Case c : {
             // MPEG-1 (32, 44.1, 48 kHz)
             Case{128, 48000, 128}, Case{0, 48000, 32}, Case{-5, 48000, 32}, Case{31, 48000, 32},
             Case{36, 48000, 32} /* midway 32/40: the lower */, Case{37, 48000, 40}, Case{100, 44100, 96},
             Case{104, 44100, 96}, Case{105, 44100, 112}, Case{288, 32000, 256}, Case{289, 32000, 320},
             Case{320, 48000, 320}, Case{400, 48000, 320}, Case{137, 96000, 128}, Case{140, 37800, 128},
             Case{145, 48000, 160},
             // MPEG-2 (16, 22.05, 24 kHz): 144 exists, nothing above 160
             Case{137, 16000, 144}, Case{128, 22050, 128}, Case{152, 24000, 144}, Case{153, 24000, 160},
             Case{192, 22050, 160}, Case{320, 24000, 160}, Case{32, 22050, 32}, Case{20, 22050, 32},
             // MPEG-2.5 (8, 11.025, 12 kHz): the table of MPEG-2
             Case{36, 8000, 32}, Case{320, 11025, 160}, Case{140, 12000, 144}, Case{64, 6000, 64}}) {
        EXPECT_EQ(mp3_round_kbps(c.kbps, c.sample_rate), c.out) << c.kbps << " kbps at " << c.sample_rate;
    }
}

TEST(Mp3Open, RefusesWhatItCannotEncode) {
    Mp3Encoder e;
    std::memset(&e, 0x5A, sizeof e);
    EXPECT_EQ(mp3_open(e, 48000, 3, 128), 0);
    EXPECT_EQ(e.lame, nullptr);
    EXPECT_EQ(e.out, nullptr);
    EXPECT_EQ(mp3_open(e, 0, 2, 128), 0);
    EXPECT_EQ(mp3_open(e, 48000, 0, 128), 0);
    EXPECT_EQ(e.lame, nullptr);
    const int16_t silence[4]{};
    EXPECT_EQ(mp3_encode(e, silence, 2), 0);
    EXPECT_EQ(mp3_flush(e), 0);
    mp3_close(e);
    mp3_close(e);
}

TEST(Mp3Format, WaveFormatAndStreamInfoOfConstantRateStreams) {
    struct Case {
        int32_t rate, channels, kbps;
        DWORD out_rate;
        DWORD padding;
        WORD block_size;
    };
    for (const Case c : {Case{48000, 2, 128, 48000, MPEGLAYER3_FLAG_PADDING_OFF, 384},
                         Case{44100, 1, 128, 44100, MPEGLAYER3_FLAG_PADDING_ISO, 417},
                         Case{32000, 2, 320, 32000, MPEGLAYER3_FLAG_PADDING_OFF, 1440},
                         Case{22050, 2, 64, 22050, MPEGLAYER3_FLAG_PADDING_ISO, 208},
                         Case{24000, 1, 160, 24000, MPEGLAYER3_FLAG_PADDING_OFF, 480},
                         Case{96000, 2, 192, 48000, MPEGLAYER3_FLAG_PADDING_OFF, 576},
                         Case{8000, 1, 8 * 4, 8000, MPEGLAYER3_FLAG_PADDING_OFF, 288}}) {
        Mp3Encoder e;
        ASSERT_EQ(mp3_open(e, c.rate, c.channels, c.kbps), 1) << c.rate;
        const MPEGLAYER3WAVEFORMAT f = mp3_wave_format(e);
        EXPECT_EQ(f.wfx.wFormatTag, 0x55);
        EXPECT_EQ(f.wfx.nChannels, c.channels);
        EXPECT_EQ(f.wfx.nSamplesPerSec, c.out_rate) << c.rate;
        EXPECT_EQ(f.wfx.nAvgBytesPerSec, DWORD(c.kbps) * 125);
        EXPECT_EQ(f.wfx.nBlockAlign, 1);
        EXPECT_EQ(f.wfx.wBitsPerSample, 0);
        EXPECT_EQ(f.wfx.cbSize, 12);
        EXPECT_EQ(f.wID, MPEGLAYER3_ID_MPEG);
        EXPECT_EQ(f.fdwFlags, c.padding) << c.rate;
        EXPECT_EQ(f.nBlockSize, c.block_size) << c.rate;
        EXPECT_EQ(f.nFramesPerBlock, 1);
        EXPECT_EQ(f.nCodecDelay, 1393);
        const AVISTREAMINFOA si = mp3_stream_info(e);
        EXPECT_EQ(si.fccType, streamtypeAUDIO);
        EXPECT_EQ(si.dwScale, 1u);
        EXPECT_EQ(si.dwRate, DWORD(c.kbps) * 125);
        EXPECT_EQ(si.dwSampleSize, 1u);
        EXPECT_EQ(si.dwQuality, DWORD(-1));
        mp3_close(e);
    }
}

// Interleaved 16-bit samples of a 1 kHz sine at -6 dBFS.
std::vector<int16_t> sine(int32_t rate, int32_t channels, int32_t seconds) {
    std::vector<int16_t> pcm(size_t(rate) * seconds * channels);
    for (size_t i = 0; i < pcm.size() / channels; ++i) {
        const double v = 0.5 * 32767 * std::sin(2 * M_PI * 1000.0 * double(i) / rate);
        for (int32_t c = 0; c < channels; ++c) pcm[i * channels + c] = int16_t(std::lround(v));
    }
    return pcm;
}

// Rising zero crossings of one channel, interpolated, between first and last
// (sample indexes): the frequency in Hz.
double frequency(const std::vector<int16_t>& pcm, int32_t channels, int32_t channel, int32_t rate, size_t first,
                 size_t last) {
    double first_t = -1, last_t = -1;
    int crossings = 0;
    for (size_t i = first; i + 1 < last; ++i) {
        const double a = pcm[i * channels + channel], b = pcm[(i + 1) * channels + channel];
        if (a < 0 && b >= 0) {
            const double t = double(i) + a / (a - b);
            if (first_t < 0) first_t = t;
            last_t = t;
            ++crossings;
        }
    }
    return crossings < 2 ? 0 : (crossings - 1) * double(rate) / (last_t - first_t);
}

double rms_db(const std::vector<int16_t>& pcm, int32_t channels, int32_t channel, size_t first, size_t last) {
    double sum = 0;
    for (size_t i = first; i < last; ++i) sum += double(pcm[i * channels + channel]) * pcm[i * channels + channel];
    return 10 * std::log10(sum / double(last - first) / (32768.0 * 32768.0));
}

// key=value pairs of ffprobe's compact output, one map a line.
std::vector<std::map<std::string, std::string>> probe(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"ffprobe", "-v", "error"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"-of", "compact=p=0"});
    const auto r = testsupport::run_process(argv);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::map<std::string, std::string>> rows;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        std::map<std::string, std::string> row;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '|');) {
            const size_t eq = field.find('=');
            if (eq != std::string::npos) row[field.substr(0, eq)] = field.substr(eq + 1);
        }
        rows.push_back(row);
    }
    return rows;
}

struct EncodeCase {
    int32_t rate, channels, kbps;
    int32_t out_rate;
    bool some_padded;  // LAME pads frames at the rates of the 44.1 kHz family
};

class Mp3Encode : public testing::TestWithParam<EncodeCase> {};

TEST_P(Mp3Encode, ASineComesBackAtItsFrequencyLevelRateAndLength) {
    const EncodeCase c = GetParam();
    constexpr int32_t kSeconds = 10;
    const std::vector<int16_t> pcm = sine(c.rate, c.channels, kSeconds);
    const uint32_t input_samples = uint32_t(c.rate) * kSeconds;

    Mp3Encoder e;
    ASSERT_EQ(mp3_open(e, c.rate, c.channels, c.kbps), 1);
    EXPECT_EQ(e.output_rate, c.out_rate);
    std::string mp3;
    std::vector<size_t> piece_ends;  // where each call's frames end in the stream
    const uint32_t step = uint32_t(c.rate) / 25;  // a 25 fps frame's worth a call
    for (uint32_t at = 0; at < input_samples; at += step) {
        const uint32_t n = std::min(step, input_samples - at);
        ASSERT_EQ(mp3_encode(e, pcm.data() + size_t(at) * c.channels, n), 1);
        mp3.append(reinterpret_cast<const char*>(e.out), e.out_bytes);
        if (e.out_bytes) piece_ends.push_back(mp3.size());
    }
    ASSERT_EQ(mp3_flush(e), 1);
    mp3.append(reinterpret_cast<const char*>(e.out), e.out_bytes);
    if (e.out_bytes) piece_ends.push_back(mp3.size());
    mp3_close(e);

    testsupport::TempDir dir;
    const std::string path = dir.file("sine.mp3"), raw = dir.file("sine.raw");
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(mp3.data(), 1, mp3.size(), f), mp3.size());
    std::fclose(f);

    // Every call handed out whole frames: its end is where a frame of
    // ffprobe's own parsing ends, and the frames tile the stream.
    std::set<size_t> frame_ends;
    size_t next = 0, padded = 0, frames = 0;
    for (auto& p : probe({"-show_entries", "packet=pos,size", path})) {
        const size_t pos = std::stoul(p["pos"]), size = std::stoul(p["size"]);
        EXPECT_EQ(pos, next) << "frame " << frames;
        next = pos + size;
        frame_ends.insert(next);
        if (static_cast<uint8_t>(mp3[pos + 2]) & 2) ++padded;
        ++frames;
    }
    EXPECT_EQ(next, mp3.size());
    for (size_t end : piece_ends) EXPECT_TRUE(frame_ends.count(end)) << "a call's frames end at " << end;
    EXPECT_EQ(padded > 0, c.some_padded) << padded << " padded frames of " << frames;

    auto stream = probe({"-show_entries", "stream=sample_rate,channels,bit_rate", path});
    ASSERT_EQ(stream.size(), 1u);
    EXPECT_EQ(stream[0]["sample_rate"], std::to_string(c.out_rate));
    EXPECT_EQ(stream[0]["channels"], std::to_string(c.channels));
    EXPECT_EQ(stream[0]["bit_rate"], std::to_string(c.kbps * 1000));

    ASSERT_TRUE(testsupport::ffmpeg({"-i", path, "-f", "s16le", "-c:a", "pcm_s16le", raw}));
    const std::string bytes = testsupport::read_file(raw);
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    const size_t out_samples = out.size() / c.channels;
    // The decoder's samples: the input's length (at the output rate) and
    // LAME's delay ahead of it (576 of the encoder, 529 of the decoder), to
    // within the one frame the end is padded to.
    const double expected = double(input_samples) * c.out_rate / c.rate + 576 + 529;
    const int32_t frame = c.out_rate >= 32000 ? 1152 : 576;
    EXPECT_NEAR(double(out_samples), expected, frame) << out_samples << " samples";
    EXPECT_EQ(out_samples, frames * frame);

    const size_t first = size_t(c.out_rate) / 2, last = out_samples - size_t(c.out_rate) / 2;
    const double input_level = rms_db(pcm, c.channels, 0, 0, input_samples);
    for (int32_t ch = 0; ch < c.channels; ++ch) {
        EXPECT_NEAR(frequency(out, c.channels, ch, c.out_rate, first, last), 1000.0, 1.0) << "channel " << ch;
        EXPECT_NEAR(rms_db(out, c.channels, ch, first, last), input_level, 0.5) << "channel " << ch;
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, Mp3Encode,
                         testing::Values(EncodeCase{48000, 2, 128, 48000, false},
                                         EncodeCase{44100, 2, 192, 44100, true},
                                         EncodeCase{22050, 2, 64, 22050, true},
                                         EncodeCase{48000, 1, 96, 48000, false},
                                         EncodeCase{96000, 2, 128, 48000, false},
                                         EncodeCase{37800, 2, 128, 32000, false}),
                         [](const testing::TestParamInfo<EncodeCase>& i) {
                             return std::to_string(i.param.rate) + (i.param.channels == 1 ? "_mono" : "_stereo");
                         });

TEST(Mp3Buffers, NoAllocationOnceTheyHaveGrown) {
    if (!testsupport::allocation_counting_works()) GTEST_SKIP() << "allocations are not counted in this build";
    // Resampled, so that LAME's own resampler buffers are in play too.
    const std::vector<int16_t> pcm = sine(96000, 2, 4);
    Mp3Encoder e;
    ASSERT_EQ(mp3_open(e, 96000, 2, 128), 1);
    constexpr uint32_t kStep = 3840;
    for (uint32_t at = 0; at < 10 * kStep; at += kStep) ASSERT_EQ(mp3_encode(e, pcm.data() + at * 2, kStep), 1);
    testsupport::allocation_counting(true);
    int ok = 1;
    uint32_t bytes = 0;
    for (uint32_t at = 10 * kStep; at < 100 * kStep && ok; at += kStep) {
        ok = mp3_encode(e, pcm.data() + at * 2, kStep);
        bytes += e.out_bytes;
    }
    testsupport::allocation_counting(false);
    EXPECT_EQ(ok, 1);
    EXPECT_GT(bytes, 0u);
    EXPECT_EQ(testsupport::allocation_count(), 0);
    mp3_close(e);
}

}  // namespace
