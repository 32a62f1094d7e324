// vnt.auo2's export under a fake editor that records every callback, with a
// scripted codec standing in for MPG4 (codec index 0).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "plugin2/logger.h"
#include "plugin2/output2.h"
#include "tests/support/avi_probe.h"
#include "tests/support/scripted_driver.h"
#include "tests/support/support.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;

struct FakeEditor {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<std::string> calls;
    std::vector<std::string> log;
    int abort_on_call = -1;  // abort_requested answers true on this call (from 0)
    int abort_calls = 0;
    int null_frame_at = -1;
    int64_t samples = 0;  // audio samples handed out
    std::vector<int16_t> audio;
    Auo2Request request{};
};
FakeEditor* g_editor = nullptr;

void* fetch_video(int frame, DWORD format) {
    g_editor->calls.push_back("video " + std::to_string(frame) + " format " + std::to_string(format));
    if (frame == g_editor->null_frame_at) return nullptr;
    return g_editor->frames[static_cast<size_t>(frame) % g_editor->frames.size()].data();
}
void* fetch_audio(int, int length, int* read, DWORD format) {
    g_editor->calls.push_back("audio format " + std::to_string(format));
    g_editor->audio.assign(static_cast<size_t>(length) * 2, 1000);
    g_editor->samples += length;
    *read = length;
    return g_editor->audio.data();
}
bool abort_requested() {
    g_editor->calls.push_back("abort");
    return g_editor->abort_calls++ == g_editor->abort_on_call;
}
void progress(int frame, int count) {
    g_editor->calls.push_back("progress " + std::to_string(frame) + "/" + std::to_string(count));
}
void buffers(int video, int audio) {
    g_editor->calls.push_back("buffers " + std::to_string(video) + "/" + std::to_string(audio));
}
void keep_log(const char* level, Auo2Text message) {
    std::string text = level;
    for (Auo2Text p = message; *p; ++p) text += static_cast<char>(*p < 0x80 ? *p : '?');
    g_editor->log.push_back(text);
}
Auo2Logger g_logger = {nullptr, nullptr, [](Auo2Logger*, Auo2Text m) { keep_log("warn: ", m); },
                       [](Auo2Logger*, Auo2Text m) { keep_log("error: ", m); }, nullptr};

class Auo2OutputRun : public ::testing::Test {
protected:
    void SetUp() override {
        g_editor = &editor;
        auo2_logger_set(&g_logger);
        for (int i = 0; i < 4; ++i) editor.frames.push_back(testsupport::test_picture(kWidth, kHeight, i));
        config.codec_index = 0;
        path = dir.file("clip.avi");
        wide_path.assign(path.begin(), path.end());
        Auo2Request& r = editor.request;
        r.flags = kAuo2RequestVideo | kAuo2RequestAudio;
        r.width = kWidth;
        r.height = kHeight;
        r.rate = 25;
        r.scale = 1;
        r.audio_rate = 48000;
        r.audio_channels = 2;
        r.output_path = wide_path.c_str();
        r.fetch_video = fetch_video;
        r.fetch_audio = fetch_audio;
        r.abort_requested = abort_requested;
        r.show_remaining_time = progress;
        r.set_buffer_size = buffers;
    }
    void TearDown() override {
        auo2_logger_set(nullptr);
        g_editor = nullptr;
    }
    bool run(int frame_count) {
        editor.request.frame_count = frame_count;
        editor.request.audio_count = frame_count * 1920;
        return auo2_output(editor.request, config, 0);
    }

    FakeEditor editor;
    PluginConfig config = kAuo2SettingsDefaults.config;
    testsupport::TempDir dir;
    std::string path;
    std::u16string wide_path;
    testsupport::ScriptedCodec codec;
    testsupport::ScopedScriptedCodec installed{mmioFOURCC('M', 'P', 'G', '4'), &codec};
};

// The read-ahead asked for once; then for every frame the stop test,
// progress, its sound (16-bit PCM, none when the setting is off), the frame
// as a DIB; the editor's whole sound goes into the file.
TEST_F(Auo2OutputRun, CallsTheEditorInItsOrderForEveryFrame) {
    for (const int32_t audio : {kPluginAudioPcm, kPluginAudioOff}) {
        SCOPED_TRACE(audio);
        editor.calls.clear();
        editor.samples = 0;
        codec.compresses.clear();
        config.audio = audio;
        ASSERT_TRUE(run(30));
        ASSERT_FALSE(editor.calls.empty());
        EXPECT_EQ(editor.calls[0], "buffers 8/16");
        size_t at = 1;
        int audio_calls = 0;
        for (int i = 0; i < 30; ++i) {
            ASSERT_LT(at + 2, editor.calls.size());
            EXPECT_EQ(editor.calls[at++], "abort");
            EXPECT_EQ(editor.calls[at++], "progress " + std::to_string(i) + "/30");
            while (at < editor.calls.size() && editor.calls[at] == "audio format 1") ++at, ++audio_calls;
            EXPECT_EQ(editor.calls[at++], "video " + std::to_string(i) + " format 0");
        }
        EXPECT_EQ(at, editor.calls.size());
        EXPECT_EQ(codec.compresses.size(), 30u);
        EXPECT_EQ(codec.compresses[1].source_tag, editor.frames[1][0]) << "each fetched frame is the one compressed";
        if (audio == kPluginAudioOff) {
            EXPECT_EQ(audio_calls, 0);
            EXPECT_EQ(testsupport::ffprobe_audio_field(path, "codec_name"), "");
        } else {
            EXPECT_GT(audio_calls, 1);
            EXPECT_EQ(editor.samples, 30 * 1920);
            EXPECT_EQ(testsupport::ffprobe_audio_field(path, "codec_name"), "pcm_s16le");
        }
        EXPECT_EQ(editor.log, std::vector<std::string>{});
    }
}

// Refused before anything is asked of the editor or made, each with its
// reason in the log; a stop or no more frames is an export that took place.
TEST_F(Auo2OutputRun, RefusalsStopsAndTheEndOfTheFrames) {
    struct Case {
        const char* name;
        int32_t flags;
        int32_t channels;
        int abort_on_call;
        int null_frame_at;
        bool answer;
        size_t frames_written;
        std::string log;  // the first line
    };
    const Case cases[] = {
        {"no video", kAuo2RequestAudio, 2, -1, -1, false, 0,
         "error: ERROR - the export has no video; vnt.auo2 writes video, with its sound"},
        {"six channels", kAuo2RequestVideo | kAuo2RequestAudio, 6, -1, -1, false, 0,
         "error: ERROR - the sound is 6 channels at 48000 Hz; vnt.auo2 keeps one or two channels"},
        {"six channels, no sound asked", kAuo2RequestVideo, 6, -1, -1, true, 5, ""},
        {"a stop at once", kAuo2RequestVideo | kAuo2RequestAudio, 2, 0, -1, true, 0, ""},
        {"a stop before frame 2", kAuo2RequestVideo | kAuo2RequestAudio, 2, 2, -1, true, 2, ""},
        {"no frame 3", kAuo2RequestVideo | kAuo2RequestAudio, 2, -1, 3, true, 3,
         "warn: WARNING - the editor gave no frame 3; the export ends there"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        editor.calls.clear();
        editor.log.clear();
        editor.abort_calls = 0;
        editor.request.flags = c.flags;
        editor.request.audio_channels = c.channels;
        editor.abort_on_call = c.abort_on_call;
        editor.null_frame_at = c.null_frame_at;
        codec.compresses.clear();
        EXPECT_EQ(run(5), c.answer);
        EXPECT_EQ(codec.compresses.size(), c.frames_written);
        EXPECT_EQ(testsupport::file_exists(path), c.frames_written > 0);
        if (!c.answer) {
            EXPECT_EQ(editor.calls, std::vector<std::string>{}) << "asked of the editor before the refusal";
        }
        EXPECT_EQ(editor.log.empty() ? "" : editor.log[0], c.log);
        if (c.frames_written) {
            EXPECT_EQ(testsupport::ffprobe_key_flags(path).size(), c.frames_written);
        }
        std::remove(path.c_str());
    }
}

}  // namespace
