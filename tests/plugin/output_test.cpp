// The output run of the loaded module under a fake host that records every
// callback, with a scripted codec standing in for MPG4 (codec index 0).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/compressor.h"
#include "tests/plugin/plugin_module.h"
#include "tests/support/avi_probe.h"
#include "tests/support/scripted_driver.h"
#include "tests/support/support.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr DWORD kMpg4 = mmioFOURCC('M', 'P', 'G', '4');

// The fake host: its frames, its answers, and what the plug-in asked of it.
struct FakeHost {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<std::string> calls;
    int abort_on_call = -1;  // abort_requested answers 1 on this call (from 0)
    int abort_calls = 0;
    int null_frame_at = -1;
    std::vector<int> flags;  // frame_flags per frame; 0 beyond
    int grow_count_to = -1;  // frame_count set to this when frame 0 is fetched
    // Audio: one buffer for every fetch, written over by the next frame
    // fetch, as the editor's lasts only until its next call.
    std::vector<int16_t> audio_buffer;
    int audio_fetches = 0;
    int audio_short_at = -1;  // this fetch (from 0) hands out half of what was asked
    OutputRequest request{};
};
FakeHost* g_host = nullptr;

// The host's sample s of channel c.
int16_t host_sample(int64_t s, int c) { return static_cast<int16_t>((s * 37 + c * 5003) % 65536 - 32768); }

void* fetch_audio(int start, int length, int* read) {
    g_host->calls.push_back("audio " + std::to_string(start) + "+" + std::to_string(length));
    const int channels = g_host->request.audio_channels;
    const int n = g_host->audio_fetches++ == g_host->audio_short_at ? length / 2 : length;
    g_host->audio_buffer.assign(static_cast<size_t>(length) * static_cast<size_t>(channels), 0x5A5A);
    for (int i = 0; i < n; ++i)
        for (int c = 0; c < channels; ++c)
            g_host->audio_buffer[static_cast<size_t>(i * channels + c)] = host_sample(start + i, c);
    *read = n;
    return g_host->audio_buffer.data();
}

void* fetch(int frame) {
    g_host->calls.push_back("fetch " + std::to_string(frame));
    std::fill(g_host->audio_buffer.begin(), g_host->audio_buffer.end(), int16_t{0x7E7E});
    if (frame == 0 && g_host->grow_count_to >= 0) g_host->request.frame_count = g_host->grow_count_to;
    if (frame == g_host->null_frame_at) return nullptr;
    return g_host->frames[static_cast<size_t>(frame) % g_host->frames.size()].data();
}
int abort_requested() {
    g_host->calls.push_back("abort");
    return g_host->abort_calls++ == g_host->abort_on_call ? 1 : 0;
}
int progress(int frame, int count) {
    g_host->calls.push_back("progress " + std::to_string(frame) + "/" + std::to_string(count));
    return 1;
}
int frame_flags(int frame) {
    g_host->calls.push_back("flags " + std::to_string(frame));
    return static_cast<size_t>(frame) < g_host->flags.size() ? g_host->flags[static_cast<size_t>(frame)] : 0;
}
int preview() {
    g_host->calls.push_back("preview");
    return 1;
}

class OutputRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m.ok());
        g_host = &host;
        for (int i = 0; i < 4; ++i) host.frames.push_back(testsupport::test_picture(kWidth, kHeight, i));
        PluginConfig c = kPluginConfigDefaults;
        c.codec_index = 0;
        m.set_config(c);
        path = dir.file("clip.avi");
        host.request.width = kWidth;
        host.request.height = kHeight;
        host.request.rate = 25;
        host.request.scale = 1;
        host.request.output_path = path.c_str();
        host.request.fetch_frame = fetch;
        host.request.abort_requested = abort_requested;
        host.request.show_remaining_time = progress;
        host.request.frame_flags = frame_flags;
        host.request.refresh_preview = preview;
    }
    void TearDown() override { g_host = nullptr; }
    int run(int frame_count) {
        host.request.frame_count = frame_count;
        return m.table().on_output(&host.request);
    }
    std::string log_text() const { return testsupport::read_file(dir.file("clip.log")); }

    PluginModule m;
    FakeHost host;
    testsupport::TempDir dir;
    std::string path;
    testsupport::ScriptedCodec codec;
    testsupport::ScopedScriptedCodec installed{kMpg4, &codec};
};

std::vector<std::string> frame_calls(int i, int count, const std::vector<std::string>& audio = {}) {
    const std::string n = std::to_string(i);
    std::vector<std::string> calls = {"abort", "progress " + n + "/" + std::to_string(count)};
    calls.insert(calls.end(), audio.begin(), audio.end());
    calls.insert(calls.end(), {"fetch " + n, "preview", "flags " + n});
    return calls;
}

TEST_F(OutputRun, CallsTheHostInItsOrderForEveryFrame) {
    EXPECT_EQ(run(3), 1);
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i) {
        const auto f = frame_calls(i, 3);
        expected.insert(expected.end(), f.begin(), f.end());
    }
    EXPECT_EQ(host.calls, expected);
    ASSERT_EQ(codec.compresses.size(), 3u);
    EXPECT_EQ(codec.compresses[1].source_tag, host.frames[1][0]) << "each fetched frame is the one compressed";
    EXPECT_EQ(testsupport::ffprobe_key_flags(path), (std::vector<bool>{true, false, false}));
}

TEST_F(OutputRun, TheHostMayChangeTheFrameCountDuringTheRun) {
    host.grow_count_to = 4;
    EXPECT_EQ(run(2), 1);
    EXPECT_EQ(codec.compresses.size(), 4u);
    EXPECT_EQ(host.calls.back(), "flags 3");
}

// A stop, or a host that hands out no more frames, leaves a complete file of
// the frames written; a run that writes none (no frames asked for, a stop at
// once) makes no file and no log: those of an earlier run stay as they were.
TEST_F(OutputRun, AStopOrNoFramesLeavesACompleteFile) {
    struct Case {
        int frame_count;
        int abort_on_call;
        int null_frame_at;
        size_t frames_written;
        size_t host_calls;
    };
    for (const Case c : {Case{5, 2, -1, 2, 11}, Case{0, -1, -1, 0, 0}, Case{5, 0, -1, 0, 1},
                         Case{5, -1, 3, 3, 18}}) {
        PluginConfig config = m.config();
        config.log_enabled = 1;
        m.set_config(config);
        host.calls.clear();
        host.abort_calls = 0;
        host.abort_on_call = c.abort_on_call;
        host.null_frame_at = c.null_frame_at;
        codec.compresses.clear();
        const std::string what = "count " + std::to_string(c.frame_count) + ", abort on call " +
                                 std::to_string(c.abort_on_call) + ", no frame at " + std::to_string(c.null_frame_at);
        const std::string video_before = testsupport::read_file(path);
        const std::string log_before = log_text();

        EXPECT_EQ(run(c.frame_count), 1) << what;
        EXPECT_EQ(host.calls.size(), c.host_calls) << what;
        EXPECT_EQ(codec.compresses.size(), c.frames_written) << what;
        if (c.frames_written == 0) {
            ASSERT_FALSE(video_before.empty()) << what << ": the earlier run's file";
            EXPECT_TRUE(testsupport::read_file(path) == video_before) << what << ": the file was replaced";
            EXPECT_EQ(log_text(), log_before) << what;
            continue;
        }
        EXPECT_EQ(testsupport::ffprobe_stream_field(path, "codec_tag_string"), "MPG4") << what;
        EXPECT_EQ(testsupport::ffprobe_key_flags(path).size(), c.frames_written) << what;
        // Three header lines, then one line per frame written.
        const std::string log = log_text();
        EXPECT_EQ(static_cast<size_t>(std::count(log.begin(), log.end(), '\n')), 3 + c.frames_written)
            << what << "\n" << log;
        EXPECT_EQ(log.rfind("[" + path + "]\n", 0), 0u) << log;
    }
    // Nothing at all where there was nothing.
    const std::string fresh = dir.file("fresh.avi");
    host.request.output_path = fresh.c_str();
    host.abort_on_call = -1;
    EXPECT_EQ(run(0), 1);
    EXPECT_FALSE(testsupport::file_exists(fresh));
    EXPECT_FALSE(testsupport::file_exists(dir.file("fresh.log")));
}

TEST_F(OutputRun, OnlyAFlagOfExactlyOneRequestsAKeyFrame) {
    host.flags = {0, 0, 1, 0, 2, 0, 3, 0};
    EXPECT_EQ(run(8), 1);
    ASSERT_EQ(codec.compresses.size(), 8u);
    std::vector<bool> asked;
    for (const auto& call : codec.compresses) asked.push_back((call.flags & ICCOMPRESS_KEYFRAME) != 0);
    const std::vector<bool> expected = {true, false, true, false, false, false, false, false};
    EXPECT_EQ(asked, expected);
    EXPECT_EQ(testsupport::ffprobe_key_flags(path), expected);
}

TEST_F(OutputRun, ClampsTheLiveRecordAndEncodesAtTheClampedRate) {
    PluginConfig c = m.config();
    c.bit_rate = 50000;
    c.key_seconds = 0;
    c.codec_index = 9;  // outside the table: MP42, not the scripted MPG4
    m.set_config(c);
    testsupport::ScriptedCodec mp42;
    testsupport::ScopedScriptedCodec mp42_installed(mmioFOURCC('M', 'P', '4', '2'), &mp42);
    EXPECT_EQ(run(2), 1);
    EXPECT_TRUE(codec.compresses.empty());
    EXPECT_EQ(mp42.compresses.size(), 2u);
    // The state's words 12..15 carry the high word of the rate as a double.
    ASSERT_GE(mp42.set_state.size(), 16u);
    uint32_t rate_word = 0;
    std::memcpy(&rate_word, &mp42.set_state[12], 4);
    EXPECT_EQ(rate_word, compressor_rate_word(32767));
    const PluginConfig after = m.config();
    EXPECT_EQ(after.bit_rate, 32767);
    EXPECT_EQ(after.key_seconds, 1);
    EXPECT_EQ(after.codec_index, 9);
    EXPECT_EQ(testsupport::ffprobe_stream_field(path, "codec_tag_string"), "MP42");
}

TEST_F(OutputRun, FailuresAreReportedToTheHost) {
    // The codec can't be opened: nothing is made and the host is never called.
    PluginConfig c = m.config();
    c.log_enabled = 1;
    m.set_config(c);
    codec.refuse_compress = true;
    EXPECT_EQ(run(3), 0);
    EXPECT_TRUE(host.calls.empty());
    EXPECT_FALSE(testsupport::file_exists(dir.file("clip.log")));

    // A frame that fails to compress ends the run with the frames before it in
    // a complete file, and the host hears that the export failed.
    codec.refuse_compress = false;
    codec.result_answer = [](const testsupport::CompressCall& call) {
        return call.index == 2 ? static_cast<DWORD>(ICERR_ERROR) : static_cast<DWORD>(ICERR_OK);
    };
    EXPECT_EQ(run(5), 0);
    EXPECT_EQ(testsupport::ffprobe_key_flags(path).size(), 2u);

    // A failure at the first frame leaves the file there as it was.
    const std::string before = testsupport::read_file(path);
    codec.result_answer = [](const testsupport::CompressCall&) { return static_cast<DWORD>(ICERR_ERROR); };
    EXPECT_EQ(run(3), 0);
    EXPECT_EQ(testsupport::read_file(path), before);

    // With the log on, an output named *.log would be its own log: refused,
    // before the host is asked for anything.
    codec.result_answer = nullptr;
    host.calls.clear();
    const std::string log_named = dir.file("video.log");
    host.request.output_path = log_named.c_str();
    EXPECT_EQ(run(3), 0);
    EXPECT_TRUE(host.calls.empty());
    EXPECT_FALSE(testsupport::file_exists(log_named));
}

// The host's audio in the request: 48 kHz stereo 16-bit PCM, at 25 frames a
// second 1920 samples a frame.
class AudioRun : public OutputRun {
protected:
    void SetUp() override {
        OutputRun::SetUp();
        host.request.flags = kOutputHasVideo | kOutputHasAudio;
        host.request.audio_rate = 48000;
        host.request.audio_channels = 2;
        host.request.audio_sample_size = 4;
        host.request.audio_count = 48000;
        host.request.fetch_audio = fetch_audio;
    }
    void set_audio(int32_t audio) {
        PluginConfig c = m.config();
        c.audio = audio;
        m.set_config(c);
    }
    // The host's samples [0, end) as the file should hold them, with silence
    // in [silent_from, silent_to).
    std::string host_pcm(int64_t end, int64_t silent_from = 0, int64_t silent_to = 0) const {
        std::string pcm;
        for (int64_t s = 0; s < end; ++s)
            for (int c = 0; c < 2; ++c) {
                const int16_t v = s >= silent_from && s < silent_to ? int16_t{0} : host_sample(s, c);
                pcm.push_back(static_cast<char>(v & 0xFF));
                pcm.push_back(static_cast<char>((v >> 8) & 0xFF));
            }
        return pcm;
    }
};

// With the setting off the host is called as without audio, its audio never
// fetched, and the file is the one a request without audio makes; with it on
// but no audio in the request, the same.
TEST_F(AudioRun, OffOrNoAudioInTheRequestCallsTheHostAsBefore) {
    OutputRequest plain = host.request;
    plain.flags = kOutputHasVideo;
    plain.audio_rate = plain.audio_channels = plain.audio_count = plain.audio_sample_size = 0;
    plain.fetch_audio = nullptr;
    const OutputRequest with_audio = host.request;
    host.request = plain;
    ASSERT_EQ(run(3), 1);
    const std::string today = testsupport::read_file(path);
    ASSERT_FALSE(today.empty());
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i) {
        const auto f = frame_calls(i, 3);
        expected.insert(expected.end(), f.begin(), f.end());
    }

    struct Case {
        const char* what;
        int32_t audio;
        int32_t flags;
        int32_t count;
    };
    for (const Case& c : {Case{"setting off", kPluginAudioOff, kOutputHasVideo | kOutputHasAudio, 48000},
                          Case{"no audio flag", kPluginAudioPcm, kOutputHasVideo, 48000},
                          Case{"no samples", 192, kOutputHasVideo | kOutputHasAudio, 0}}) {
        set_audio(c.audio);
        host.request = with_audio;
        host.request.flags = c.flags;
        host.request.audio_count = c.count;
        host.calls.clear();
        codec.compresses.clear();  // the scripted codec numbers its frames from its first call
        ASSERT_EQ(run(3), 1) << c.what;
        EXPECT_EQ(host.calls, expected) << c.what;
        EXPECT_EQ(host.audio_fetches, 0) << c.what;
        EXPECT_TRUE(testsupport::read_file(path) == today) << c.what << ": not today's file";
    }
}

// Frame 0 fetches the lead (half a second) and the rest of its span, each
// later frame its own span, between progress and the frame's fetch, up to the
// video's end; the file's PCM is the host's sample for sample.
TEST_F(AudioRun, PcmFetchedFrameByFrameAndWrittenAsHandedOver) {
    set_audio(kPluginAudioPcm);
    constexpr int kFrames = 20;  // 0.8 s: 38400 samples
    ASSERT_EQ(run(kFrames), 1);
    std::vector<std::string> expected;
    int64_t done = 0;
    for (int i = 0; i < kFrames; ++i) {
        std::vector<std::string> audio;
        const auto to = [&](int64_t end) {
            end = std::min<int64_t>(end, 38400);
            if (end > done) audio.push_back("audio " + std::to_string(done) + "+" + std::to_string(end - done));
            done = std::max(done, end);
        };
        if (i == 0) to(24000);
        to(24000 + 1920 * int64_t{i + 1});
        const auto f = frame_calls(i, kFrames, audio);
        expected.insert(expected.end(), f.begin(), f.end());
    }
    EXPECT_EQ(host.calls, expected);
    EXPECT_EQ(testsupport::ffprobe_complaints(path), "");
    EXPECT_EQ(testsupport::ffprobe_audio_field(path, "codec_name"), "pcm_s16le");
    EXPECT_EQ(testsupport::ffprobe_audio_field(path, "sample_rate"), "48000");
    EXPECT_EQ(testsupport::ffprobe_audio_field(path, "channels"), "2");
    EXPECT_TRUE(testsupport::ffmpeg_audio_s16le(path) == host_pcm(38400)) << "not the host's samples";
    EXPECT_EQ(m.config().audio, kPluginAudioPcm);
}

// Audio shorter than the video ends where the host's does; a fetch that
// hands out less than asked is made up with silence.
TEST_F(AudioRun, ShortAudioAndShortFetches) {
    set_audio(kPluginAudioPcm);
    host.request.audio_count = 30000;
    host.audio_short_at = 2;  // frame 1's span, 25920 + 1920: 960 samples handed out
    ASSERT_EQ(run(20), 1);
    EXPECT_EQ(std::count_if(host.calls.begin(), host.calls.end(),
                            [](const std::string& c) { return c.rfind("audio ", 0) == 0; }),
              5);
    EXPECT_NE(std::find(host.calls.begin(), host.calls.end(), "audio 29760+240"), host.calls.end());
    EXPECT_TRUE(testsupport::ffmpeg_audio_s16le(path) == host_pcm(30000, 25920 + 960, 27840))
        << "not the host's samples with silence after the short fetch";
}

// MP3 at the setting's rate rounded to one MP3 has at the host's sample rate;
// the record keeps the rate as set.
TEST_F(AudioRun, Mp3AtTheRoundedRate) {
    struct Case {
        int32_t audio;
        int32_t sample_rate;
        const char* bit_rate;
    };
    for (const Case& c : {Case{200, 48000, "192000"}, Case{320, 22050, "160000"}}) {
        set_audio(c.audio);
        host.request.audio_rate = c.sample_rate;
        host.request.audio_count = c.sample_rate * 2;
        ASSERT_EQ(run(50), 1) << c.audio;
        EXPECT_EQ(testsupport::ffprobe_complaints(path), "") << c.audio;
        EXPECT_EQ(testsupport::ffprobe_audio_field(path, "codec_name"), "mp3") << c.audio;
        EXPECT_EQ(testsupport::ffprobe_audio_field(path, "sample_rate"), std::to_string(c.sample_rate)) << c.audio;
        EXPECT_EQ(testsupport::ffprobe_audio_field(path, "bit_rate"), c.bit_rate) << c.audio;
        EXPECT_EQ(m.config().audio, c.audio);
    }
}

// Audio asked for that is not 16-bit PCM of one or two channels, or that the
// host gives no way to fetch: the export is refused before the host is asked
// for anything, and no file is made.
TEST_F(AudioRun, AudioThatCantBeTakenRefusesTheExport) {
    set_audio(kPluginAudioPcm);
    struct Case {
        int32_t channels, sample_size, rate;
        bool fetch;
    };
    for (const Case& c : {Case{2, 2, 48000, true}, Case{1, 4, 48000, true}, Case{3, 6, 48000, true},
                          Case{0, 0, 48000, true}, Case{2, 4, 0, true}, Case{2, 4, 48000, false}}) {
        const std::string what = std::to_string(c.channels) + " channels, " + std::to_string(c.sample_size) +
                                 " bytes, " + std::to_string(c.rate) + " Hz" + (c.fetch ? "" : ", no fetch");
        host.request.audio_channels = c.channels;
        host.request.audio_sample_size = c.sample_size;
        host.request.audio_rate = c.rate;
        host.request.fetch_audio = c.fetch ? fetch_audio : nullptr;
        host.calls.clear();
        EXPECT_EQ(run(3), 0) << what;
        EXPECT_TRUE(host.calls.empty()) << what;
        EXPECT_FALSE(testsupport::file_exists(path)) << what;
    }
}

}  // namespace
