// What the engine exists for, checked with the real codec and a peer
// decoder: natural-looking clips go through the whole pipeline with the
// default settings, ffmpeg decodes the file, and no delta frame it shows may
// hold a noisy block by the detector's own rule.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "engine/detector.h"
#include "engine/pipeline.h"
#include "engine/session.h"
#include "platform/icm/builtin.h"
#include "tests/support/luma_psnr.h"
#include "tests/support/support.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kRate = 25;

using File = std::unique_ptr<FILE, int (*)(FILE*)>;
File open_file(const std::string& path, const char* mode) { return File(std::fopen(path.c_str(), mode), &std::fclose); }

// Raw 24-bit frames in the engine's layout: bottom-up rows of width * 3 bytes.
bool make_raw_clip(const std::string& path, const std::string& lavfi, int frames) {
    return testsupport::make_clip(path, lavfi, frames, {"-vf", "vflip", "-f", "rawvideo", "-pix_fmt", "bgr24"});
}

// Decodes an AVI with ffmpeg into raw frames laid out the same way.
bool peer_decode(const std::string& avi, const std::string& raw) {
    return testsupport::ffmpeg({"-i", avi, "-vf", "vflip", "-f", "rawvideo", "-pix_fmt", "bgr24", raw});
}

// Key flags of the video packets as ffprobe reads them from the file.
std::vector<int> peer_key_flags(const std::string& avi) {
    auto r = testsupport::run_process({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                       "packet=flags", "-of", "csv=p=0", avi});
    std::vector<int> keys;
    size_t pos = 0;
    while (pos < r.out.size()) {
        const size_t end = r.out.find('\n', pos);
        keys.push_back(r.out[pos] == 'K' ? 1 : 0);
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return keys;
}

struct Encoded {
    bool ok = false;
    int frames = 0;
    int redone = 0;            // frames compressed again as key frames
    int noise_redone = 0;      // of them, for block noise
    std::vector<int> keys;     // key flag of each frame written
    long long bytes = 0;       // file size
    OutputFailure failure = OutputFailure::none;
};

// The front ends' five steps, with frames read from a raw file. When seen is
// given, what the verification decoder holds after each frame (the picture a
// player of the file shows) is appended to that file.
Encoded encode(const std::string& raw, const std::string& avi, int32_t bit_rate, const std::string& seen = "",
               DWORD codec = mmioFOURCC('M', 'P', '4', '2')) {
    Encoded e;
    EncodeSettings settings{};
    settings_set_defaults(settings);  // MP42, key 8 s, cc 75, diff 9, pixel 28
    settings.codec = codec;
    settings.bit_rate = bit_rate;
    settings.log_enabled = 1;
    settings_clamp(settings, kConsoleBitRateCeiling);
    const BITMAPINFOHEADER format = make_rgb24_format(kWidth, kHeight);
    const AVISTREAMINFOA info = make_video_stream_info(kWidth, kHeight, kRate, 1);
    OutputWriter w{};
    if (!output_open(avi.c_str(), info, format, settings, w)) {
        e.failure = w.failure;
        return e;
    }
    EncodeLog log = log_open(avi.c_str(), settings);
    File in = open_file(raw, "rb");
    File seen_out = open_file(seen.empty() ? "/dev/null" : seen, "wb");
    std::vector<uint8_t> frame(format.biSizeImage);
    bool ok = in != nullptr && seen_out != nullptr;
    while (ok && std::fread(frame.data(), 1, frame.size(), in.get()) == frame.size()) {
        ok = pipeline_process_frame(w, settings, &log, e.frames, &format, frame.data()) == 1;
        if (!seen.empty()) std::fwrite(w.verifier.picture, 1, format.biSizeImage, seen_out.get());
        e.keys.push_back(w.last_is_key);
        ++e.frames;
    }
    log_close(log);
    if (!ok) e.failure = w.failure;
    e.ok = output_close(w) == 1 && ok && e.frames > 0;
    const std::string text = testsupport::read_file(avi.substr(0, avi.size() - 4) + ".log");
    for (size_t at = text.find(" - "); at != std::string::npos; at = text.find(" - ", at + 1)) {
        ++e.redone;
        if (text.compare(at, 12, " - bad block") == 0) ++e.noise_redone;
    }
    e.bytes = static_cast<long long>(testsupport::read_file(avi).size());
    return e;
}

struct Checked {
    int frames = 0;
    int noisy_delta_frames = 0;
    int first_noisy = -1;
    double mean_psnr = 0;
    double min_psnr = 99;
};

// Runs the detector's rule over every delta frame of the peer's decoding against its source.
Checked check(const std::string& source_raw, const std::string& decoded_raw, const std::vector<int>& keys) {
    Checked c;
    const BITMAPINFOHEADER format = make_rgb24_format(kWidth, kHeight);
    File source = open_file(source_raw, "rb");
    File decoded = open_file(decoded_raw, "rb");
    if (!source || !decoded) return c;
    std::vector<uint8_t> s(format.biSizeImage), d(format.biSizeImage);
    double psnr_sum = 0;
    while (std::fread(s.data(), 1, s.size(), source.get()) == s.size() &&
           std::fread(d.data(), 1, d.size(), decoded.get()) == d.size()) {
        const double psnr = testsupport::luma_psnr(s.data(), d.data(), static_cast<size_t>(kWidth) * kHeight);
        psnr_sum += psnr;
        c.min_psnr = std::min(c.min_psnr, psnr);
        const bool key = c.frames < static_cast<int>(keys.size()) && keys[c.frames];
        if (!key && block_noise_scan_reference(s.data(), d.data(), format, 9, 28) != 0) {
            if (c.first_noisy < 0) c.first_noisy = c.frames;
            ++c.noisy_delta_frames;
        }
        ++c.frames;
    }
    c.mean_psnr = c.frames ? psnr_sum / c.frames : 0;
    return c;
}

// A clip made by ffmpeg's lavfi and the codec it goes through.
class QualityTest : public ::testing::TestWithParam<std::tuple<const char*, DWORD>> {
protected:
    const char* clip() const { return std::get<0>(GetParam()); }
    DWORD codec() const { return std::get<1>(GetParam()); }
};

}  // namespace

TEST_P(QualityTest, NoDeltaFrameShowsBlockNoiseToAPeerDecoder) {
    testsupport::TempDir dir;
    const std::string raw = dir.file("source.bgr");
    constexpr int kFrames = 4 * kRate;
    ASSERT_TRUE(make_raw_clip(raw, clip(), kFrames));
    const std::string avi = dir.file("ours.avi");
    const Encoded e = encode(raw, avi, 3000, "", codec());
    ASSERT_TRUE(e.ok) << "failure " << static_cast<int>(e.failure) << " after " << e.frames << " frames";
    ASSERT_EQ(e.frames, kFrames);

    // The peer reads the file without complaint and sees the key frames we wrote.
    auto probe = testsupport::run_process({"ffprobe", "-v", "warning", avi});
    EXPECT_EQ(probe.exit_code, 0);
    EXPECT_EQ(probe.err.find("arning"), std::string::npos) << probe.err;
    EXPECT_EQ(peer_key_flags(avi), e.keys);

    const std::string decoded = dir.file("decoded.bgr");
    ASSERT_TRUE(peer_decode(avi, decoded));
    const Checked c = check(raw, decoded, e.keys);
    EXPECT_EQ(c.frames, kFrames);
    EXPECT_EQ(c.noisy_delta_frames, 0) << "first at frame " << c.first_noisy;
    EXPECT_GT(c.min_psnr, 25.0);
    std::printf("%s: %d frames, %d redone (%d for block noise), %lld bytes, luma PSNR mean %.2f min %.2f\n",
                clip(), e.frames, e.redone, e.noise_redone, e.bytes, c.mean_psnr, c.min_psnr);
}

// The verification decoder judges each frame by what it decoded; that must be
// what a player of the file shows, or the check proves nothing. ffmpeg's
// decoding of the written file equals, frame for frame and byte for byte, what
// our decoder held after each frame was written (the accepted delta frame, or
// the key frame it was restarted on).
TEST_P(QualityTest, PeerDecoderSeesWhatTheVerificationDecoderSaw) {
    testsupport::TempDir dir;
    const std::string raw = dir.file("source.bgr");
    constexpr int kFrames = 2 * kRate;
    ASSERT_TRUE(make_raw_clip(raw, clip(), kFrames));
    const std::string avi = dir.file("ours.avi");
    const std::string seen = dir.file("seen.bgr");
    const Encoded e = encode(raw, avi, 3000, seen, codec());
    ASSERT_TRUE(e.ok);
    const std::string decoded = dir.file("decoded.bgr");
    ASSERT_TRUE(peer_decode(avi, decoded));
    const std::string ours = testsupport::read_file(seen);
    const std::string theirs = testsupport::read_file(decoded);
    const size_t frame_bytes = static_cast<size_t>(kWidth) * kHeight * 3;
    ASSERT_EQ(ours.size(), frame_bytes * kFrames);
    ASSERT_EQ(theirs.size(), ours.size());
    for (int n = 0; n < kFrames; ++n)
        EXPECT_EQ(ours.compare(n * frame_bytes, frame_bytes, theirs, n * frame_bytes, frame_bytes), 0)
            << "frame " << n << (e.keys[n] ? " (key)" : " (delta)");
}

INSTANTIATE_TEST_SUITE_P(Clips, QualityTest,
                         ::testing::Combine(::testing::Values("testsrc2=size=640x480:rate=25",
                                                              "mandelbrot=size=640x480:rate=25"),
                                            ::testing::Values(mmioFOURCC('M', 'P', '4', '2'),
                                                              mmioFOURCC('M', 'P', 'G', '4'),
                                                              mmioFOURCC('M', 'P', '4', '3'))));

// The comparison behind the figures in the notes: our output against a
// plain one-pass encode by ffmpeg with the same codec, 10 s clips.
// Run with --gtest_also_run_disabled_tests --gtest_filter='*Measure*'.
TEST(QualityMeasure, DISABLED_AgainstOnePass) {
    testsupport::TempDir dir;
    const char* clips[] = {
        "mandelbrot=size=640x480:rate=25",
        "testsrc2=size=640x480:rate=25",
        "life=size=640x480:rate=25:mold=10:ratio=0.1:life_color=#C0C040:death_color=#202060,gblur=sigma=2",
    };
    constexpr int kSeconds = 10;
    for (const char* clip : clips) {
        const std::string raw = dir.file("source.bgr");
        ASSERT_TRUE(make_raw_clip(raw, clip, kSeconds * kRate));
        for (int32_t rate : {3000, 6000}) {
            const long long target = static_cast<long long>(rate) * 128 * kSeconds;
            const std::string ours = dir.file("ours.avi");
            const Encoded e = encode(raw, ours, rate);
            ASSERT_TRUE(e.ok);
            ASSERT_TRUE(peer_decode(ours, dir.file("ours.bgr")));
            const Checked co = check(raw, dir.file("ours.bgr"), e.keys);

            const std::string theirs = dir.file("theirs.avi");
            ASSERT_TRUE(testsupport::ffmpeg({"-f", "rawvideo", "-pix_fmt", "bgr24", "-s", "640x480", "-r", "25", "-i",
                                             raw, "-vf", "vflip", "-c:v", "msmpeg4v2", "-b:v",
                                             std::to_string(rate) + "k", "-g", "240", theirs}));
            ASSERT_TRUE(peer_decode(theirs, dir.file("theirs.bgr")));
            const std::vector<int> their_keys = peer_key_flags(theirs);
            const Checked ct = check(raw, dir.file("theirs.bgr"), their_keys);
            const long long their_bytes = static_cast<long long>(testsupport::read_file(theirs).size());
            int their_key_count = 0, our_key_count = 0;
            for (int k : their_keys) their_key_count += k;
            for (int k : e.keys) our_key_count += k;

            std::printf("\n%s at %d kbit/s, target %lld bytes\n", clip, rate, target);
            std::printf("  ours:    %8lld bytes (%.2f x target), noisy delta frames %3d, keys %3d, redone %3d "
                        "(%d block noise), PSNR mean %.2f min %.2f\n",
                        e.bytes, static_cast<double>(e.bytes) / target, co.noisy_delta_frames, our_key_count,
                        e.redone, e.noise_redone, co.mean_psnr, co.min_psnr);
            std::printf("  one-pass:%8lld bytes (%.2f x target), noisy delta frames %3d, keys %3d, "
                        "PSNR mean %.2f min %.2f\n",
                        their_bytes, static_cast<double>(their_bytes) / target, ct.noisy_delta_frames,
                        their_key_count, ct.mean_psnr, ct.min_psnr);
            EXPECT_EQ(co.noisy_delta_frames, 0);
        }
    }
}

namespace {

struct OverlapCase {
    const char* lavfi;
    int32_t bit_rate;
    bool redos;           // the clip has frames redone for block noise (checked by a rule of 8 pixels)
    bool repeats = false; // every picture shown twice: a frame equal to the one before is never compressed ahead
    DWORD codec = mmioFOURCC('M', 'P', '4', '2');
};

struct SessionRun {
    bool ok = false;
    std::string avi;
    std::string log;
    uint32_t thrown_away = 0;
};

// A session over frames held in memory, each call given the frame after it,
// as the console runs one: with overlap allowed or not.
SessionRun run_session(const std::vector<std::vector<uint8_t>>& frames, const BITMAPINFOHEADER& format,
                       int32_t bit_rate, DWORD codec, int32_t pixel_threshold, const std::string& avi,
                       bool overlap) {
    SessionRun r;
    EncodeSettings settings{};
    settings_set_defaults(settings);
    settings.bit_rate = bit_rate;
    settings.pixel_threshold = pixel_threshold;
    settings.codec = codec;
    settings.key_seconds = 2;
    settings.log_enabled = 1;
    settings_clamp(settings, kConsoleBitRateCeiling);
    const AVISTREAMINFOA info = make_video_stream_info(format.biWidth, format.biHeight, kRate, 1);
    icm_testing_show_builtin_compressors(overlap ? 1 : 0);
    EncodeSession session{};
    const int opened = session_open(session, avi.c_str(), info, format, settings);
    icm_testing_show_builtin_compressors(1);
    if (!opened) return r;
    EXPECT_EQ(session.overlap, overlap ? 1 : 0);
    bool ok = true;
    for (size_t n = 0; ok && n < frames.size(); ++n) {
        const bool last = n + 1 == frames.size();
        ok = session_encode_frame_ahead(session, static_cast<int32_t>(n), &format, frames[n].data(),
                                        last ? nullptr : &format, last ? nullptr : frames[n + 1].data()) == 1;
    }
    r.thrown_away = session.thrown_away;
    r.ok = session_close(session) == 1 && ok;
    r.avi = testsupport::read_file(avi);
    // Past its first line, which names the output.
    const std::string log = testsupport::read_file(avi.substr(0, avi.size() - 4) + ".log");
    r.log = log.substr(std::min(log.size(), log.find('\n')));
    return r;
}

class OverlapTest : public ::testing::TestWithParam<OverlapCase> {};

}  // namespace

// With our own drivers the console compresses frame n + 1 while frame n is
// checked, and throws n + 1 away when n is redone: the file and the log are
// the same, byte for byte, as when every frame is taken in turn.
TEST_P(OverlapTest, SameFileAndLogAsOneFrameAtATime) {
    const OverlapCase c = GetParam();
    testsupport::TempDir dir;
    const std::string raw = dir.file("source.bgr");
    constexpr int kFrames = 3 * kRate;
    const BITMAPINFOHEADER format = make_rgb24_format(320, 240);
    ASSERT_TRUE(make_raw_clip(raw, c.lavfi, kFrames));
    const std::string bytes = testsupport::read_file(raw);
    ASSERT_EQ(bytes.size(), static_cast<size_t>(format.biSizeImage) * kFrames);
    std::vector<std::vector<uint8_t>> frames(kFrames);
    for (int n = 0; n < kFrames; ++n)
        frames[n].assign(bytes.begin() + n * format.biSizeImage, bytes.begin() + (n + 1) * format.biSizeImage);

    // Our drivers keep their deltas clear of the default rule; by a stricter
    // one (8 pixels: our own MP42 coder keeps clear of 16 too) mandelbrot's
    // deltas at their first ceiling are noisy.
    const int32_t pixels = c.redos ? 8 : 28;
    const SessionRun one = run_session(frames, format, c.bit_rate, c.codec, pixels, dir.file("one.avi"), false);
    const SessionRun two = run_session(frames, format, c.bit_rate, c.codec, pixels, dir.file("two.avi"), true);
    ASSERT_TRUE(one.ok);
    ASSERT_TRUE(two.ok);
    EXPECT_EQ(one.thrown_away, 0u);
    const bool redone = one.log.find("bad block") != std::string::npos;
    EXPECT_EQ(redone, c.redos) << one.log;
    // Every redo for block noise but one at the last frame, or one followed by
    // the same picture, finds frame n + 1 compressed ahead.
    if (c.redos && !c.repeats) {
        EXPECT_GT(two.thrown_away, 0u);
    }
    EXPECT_EQ(two.log, one.log);
    EXPECT_TRUE(two.avi == one.avi) << "the files differ";
    std::printf("%s at %d: %u frames compressed ahead thrown away\n", c.lavfi, c.bit_rate, two.thrown_away);
}

INSTANTIATE_TEST_SUITE_P(
    Clips, OverlapTest,
    ::testing::Values(OverlapCase{"testsrc2=size=320x240:rate=25", 3000, false},
                      // Every picture shown twice: the frame after one is the same picture.
                      OverlapCase{"mandelbrot=size=320x240:rate=12.5,fps=25", 300, true, true},
                      OverlapCase{"mandelbrot=size=320x240:rate=25", 300, true},
                      // MPG4 rewrites each frame and numbers them: a frame taken back gives its number back.
                      OverlapCase{"mandelbrot=size=320x240:rate=25", 300, true, false, mmioFOURCC('M', 'P', 'G', '4')},
                      OverlapCase{"mandelbrot=size=320x240:rate=25", 300, true, false, mmioFOURCC('D', 'I', 'V', '4')}));
