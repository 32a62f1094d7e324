// twopass end to end on AVI input: what it prints, its exit code, and the
// file it writes as ffprobe and ffmpeg see it.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/support/avi_probe.h"
#include "tests/support/twopass_run.h"

namespace {

using namespace testsupport;

class TwopassAvi : public ::testing::Test {
protected:
    TempDir dir;
    std::string registry = dir.file("registry.reg");  // never written: no VFAPI plug-ins
};

TEST_F(TwopassAvi, RawClipIsEncodedWithProgressAndFinishLine) {
    const std::string in = dir.file("raw.avi"), out = dir.file("out.avi");
    ASSERT_TRUE(make_clip(in, "testsrc2=size=320x240:rate=25", 20, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
    ProcessResult r = run_twopass({in, out}, registry);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::string why;
    EXPECT_TRUE(progress_text_ok(r.err, 20, 20, true, why)) << why << "\n" << r.err;

    VideoProbe probe = probe_video(out);
    EXPECT_EQ(probe.warnings, "");
    EXPECT_EQ(probe.codec, "msmpeg4v2");
    EXPECT_EQ(probe.width, 320);
    EXPECT_EQ(probe.height, 240);
    EXPECT_EQ(probe.frames, 20);
    // Well above what a picture upside down or with swapped colours gives.
    EXPECT_GT(video_psnr(out, in), 28.0);
}

TEST_F(TwopassAvi, CompressedClipWithAudioQuietAndLogged) {
    const std::string in = dir.file("mjpeg.avi"), out = dir.file("out.avi");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=176x144:rate=30", "-f", "lavfi", "-i",
                        "sine=frequency=300", "-frames:v", "15", "-t", "0.5", "-c:v", "mjpeg", "-c:a", "pcm_s16le",
                        in}));
    ProcessResult r = run_twopass({"-q", "-l", "-v3", in, out}, registry);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "") << "quiet runs print nothing";
    VideoProbe probe = probe_video(out);
    EXPECT_EQ(probe.codec, "msmpeg4v3");
    EXPECT_EQ(probe.frames, 15);
    EXPECT_GT(video_psnr(out, in), 28.0);
    const std::string log = read_file(dir.file("out.log"));
    EXPECT_EQ(log.rfind("[" + out + "]\n", 0), 0u) << log;
}

TEST_F(TwopassAvi, InputThatCantBeOpenedEndsWithTwoLines) {
    const std::string missing = dir.file("missing.AVI"), out = dir.file("out.avi");
    ProcessResult r = run_twopass({missing, out}, registry);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "ERROR - Can't open " + missing + "\nError - Can't open " + missing + "\n");
    EXPECT_FALSE(file_exists(out));

    const std::string audio = dir.file("audio.avi");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "sine=frequency=440:duration=1", "-c:a", "pcm_s16le", audio}));
    r = run_twopass({audio, out}, registry);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "ERROR - " + audio + " has no VIDEO stream\nError - Can't open " + audio + "\n");
    EXPECT_FALSE(file_exists(out));
}

TEST_F(TwopassAvi, OutputThatCantBeCreated) {
    const std::string in = dir.file("raw.avi"), out = dir.file("no-such-folder/out.avi");
    ASSERT_TRUE(make_clip(in, "testsrc2=size=64x48:rate=25", 2, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
    ProcessResult r = run_twopass({in, out}, registry);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "ERROR - Can't open " + out + "\n");
}

TEST_F(TwopassAvi, Mpg4IsWrittenAsVersion1ThatFfmpegDecodesWhole) {
    const std::string in = dir.file("raw.avi"), out = dir.file("out.avi");
    ASSERT_TRUE(make_clip(in, "testsrc2=size=322x242:rate=25", 30, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
    ProcessResult r = run_twopass({"-q", "-v1", in, out}, registry);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    VideoProbe probe = probe_video(out);
    EXPECT_EQ(probe.warnings, "");
    EXPECT_EQ(probe.codec, "msmpeg4v1");
    EXPECT_EQ(ffprobe_stream_field(out, "codec_tag_string"), "MPG4");
    EXPECT_EQ(probe.frames, 30);
    // Every frame decodes without a complaint from the version 1 decoder.
    ProcessResult d = run_process({"ffmpeg", "-v", "error", "-i", out, "-f", "null", "-"});
    EXPECT_EQ(d.exit_code, 0);
    EXPECT_EQ(d.err, "");
    EXPECT_GT(video_psnr(out, in), 28.0);
}

TEST_F(TwopassAvi, WriteFailureEndsTheRunWithAMessageAndAReadableFile) {
    const std::string in = dir.file("raw.avi"), out = dir.file("out.avi");
    ASSERT_TRUE(make_clip(in, "testsrc2=size=320x240:rate=25", 40, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
    // The file may not grow past 200 KiB; writes beyond fail instead of
    // stopping the process.
    ProcessResult r = run_process({"bash", "-c", "trap '' XFSZ; ulimit -f 200; exec \"$0\" -q \"$@\"",
                                   twopass_program(), in, out});
    EXPECT_EQ(r.exit_code, 1);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.err, m, std::regex("ERROR - Can't write frame ([0-9]+) to (.*)\n"))) << r.err;
    EXPECT_EQ(m[2], out);
    VideoProbe probe = probe_video(out);
    EXPECT_EQ(probe.warnings, "");
    EXPECT_EQ(probe.frames, std::stoi(m[1]));
    EXPECT_GT(probe.frames, 0);
}

}  // namespace
