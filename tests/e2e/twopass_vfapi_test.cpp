// twopass end to end on input read through VFAPI reader plug-ins: the
// libavformat reader, and scripted plug-ins for the edges.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>

#include "tests/support/scripted_plugin.h"
#include "tests/support/twopass_run.h"

namespace {

using namespace testsupport;

class TwopassVfapi : public ::testing::Test {
protected:
    TempDir dir;
    std::string registry = dir.file("registry.reg");
};

TEST_F(TwopassVfapi, ReaderPluginOpensWhatFfmpegWrites) {
    write_plugin_registry(registry, {{"reader", vfapi_reader_library()}});
    struct Case {
        const char* name;
        std::vector<std::string> codec;
    };
    for (const Case& c : {Case{"clip.mp4", {"-c:v", "mpeg4", "-q:v", "3"}},
                          Case{"clip.mkv", {"-c:v", "ffv1"}},
                          // Neither a count nor a duration: the reader counts. (At 25 frames a
                          // second, the rate ffmpeg assumes for raw streams, for the comparison.)
                          Case{"clip.h264", {"-c:v", "libx264", "-preset", "ultrafast", "-r", "25", "-f", "h264"}},
                          Case{"clip.y4m", {"-pix_fmt", "yuv420p"}}}) {
        SCOPED_TRACE(c.name);
        const std::string in = dir.file(c.name), out = dir.file(std::string(c.name) + ".avi");
        ASSERT_TRUE(make_clip(in, "testsrc2=size=160x120:rate=24", 12, c.codec));
        ProcessResult r = run_twopass({in, out}, registry);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, "");
        std::string why;
        EXPECT_TRUE(progress_text_ok(r.err, 12, 12, true, why)) << why << "\n" << r.err;
        VideoProbe probe = probe_video(out);
        EXPECT_EQ(probe.warnings, "");
        EXPECT_EQ(probe.frames, 12);
        EXPECT_EQ(probe.width, 160);
        EXPECT_GT(video_psnr(out, in), 28.0);
    }
}

TEST_F(TwopassVfapi, InputNoPluginCanOpen) {
    const std::string in = dir.file("clip.mp4"), out = dir.file("out.avi");
    ASSERT_TRUE(make_clip(in, "testsrc2=size=64x48:rate=25", 3, {"-c:v", "mpeg4"}));
    // No registry at all, then a reader that can't make sense of the file.
    ProcessResult r = run_twopass({in, out}, registry);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error - Can't open " + in + "\n");

    write_plugin_registry(registry, {{"reader", vfapi_reader_library()}});
    const std::string text = dir.file("notes.txt");
    std::ofstream(text) << "not a video\n";
    r = run_twopass({text, out}, registry);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error - Can't open " + text + "\n");

    // A file that opens but holds no picture.
    const std::string song = dir.file("song.wav");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "sine=duration=1", song}));
    r = run_twopass({song, out}, registry);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error - Can't open " + song + "\n");
    EXPECT_FALSE(file_exists(out));
}

TEST_F(TwopassVfapi, FramesThePluginCantDeliverEndTheRunAfterDebugLines) {
    ASSERT_FALSE(scripted_plugin_library().empty());
    // 2^32 + 10 frames, of which only 3 can be read.
    const std::string plugin = install_scripted_plugin(
        dir.path(), "huge.so", {"width=64", "height=48", "frames_l=10", "frames_h=1", "fail_read_at=3"});
    write_plugin_registry(registry, {{"huge", plugin}});
    const std::string out = dir.file("out.avi");
    ProcessResult r = run_twopass({"project.aup", out}, registry, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string why;
    EXPECT_TRUE(progress_text_ok(r.err, 2147483647, 3, true, why)) << why << "\n" << r.err;
    static const std::regex debug(
        "DEBUG - ReadData\\(\\) return non-zero value.\n"
        "DEBUG - dwSize: " + std::to_string(sizeof(void*) == 4 ? 20 : 32) + "\n"
        "DEBUG - dwFrameNumberL: 3, dwFrameNumberH: 0\n"
        "DEBUG - lpData: 0x[0-9a-f]+\n"
        "DEBUG - lPitch: -192\n");
    EXPECT_TRUE(std::regex_match(r.out, debug)) << r.out;
    VideoProbe probe = probe_video(out);
    EXPECT_EQ(probe.warnings, "");
    EXPECT_EQ(probe.frames, 3);
}

TEST_F(TwopassVfapi, AStreamShorterThanItsCountEndsNormally) {
    ASSERT_FALSE(scripted_plugin_library().empty());
    const std::string plugin =
        install_scripted_plugin(dir.path(), "short.so", {"width=32", "height=16", "frames_l=8", "fail_read_at=5"});
    write_plugin_registry(registry, {{"short", plugin}});
    const std::string out = dir.file("out.avi");
    ProcessResult r = run_twopass({"-q", "in.tpr", out}, registry, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "WARNING - the input ended at frame 5 of 8\n");
    EXPECT_NE(r.out.find("DEBUG - dwFrameNumberL: 5, dwFrameNumberH: 0\n"), std::string::npos) << r.out;
    EXPECT_EQ(probe_video(out).frames, 5);
}

}  // namespace
