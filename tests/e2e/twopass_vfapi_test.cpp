// twopass end to end on input read through VFAPI reader plug-ins: the
// libavformat reader, and scripted plug-ins for the edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <regex>
#include <string>

#include "tests/support/avi_probe.h"
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
        const char* cut = nullptr;  // where the clip is cut without re-encoding, if it is
    };
    for (const Case& c : {Case{"clip.mp4", {"-c:v", "mpeg4", "-q:v", "3"}},
                          Case{"clip.mkv", {"-c:v", "ffv1"}},
                          // Neither a count nor a duration: the reader counts. (At 25 frames a
                          // second, the rate ffmpeg assumes for raw streams, for the comparison.)
                          Case{"clip.h264", {"-c:v", "libx264", "-preset", "ultrafast", "-r", "25", "-f", "h264"}},
                          Case{"clip.y4m", {"-pix_fmt", "yuv420p"}},
                          // The pictures before the cut stay in the file for the decoder;
                          // an edit list hides them, and ffmpeg shows what is left.
                          Case{"cut.mp4", {"-c:v", "libx264", "-bf", "3", "-g", "6"}, "0.2"}}) {
        SCOPED_TRACE(c.name);
        const std::string in = dir.file(c.name), out = dir.file(std::string(c.name) + ".avi");
        const std::string made = c.cut ? dir.file(std::string("whole.") + c.name) : in;
        ASSERT_TRUE(make_clip(made, "testsrc2=size=160x120:rate=24", 12, c.codec));
        if (c.cut) {
            ASSERT_TRUE(ffmpeg({"-ss", c.cut, "-i", made, "-c", "copy", in}));
        }
        const int frames = c.cut ? ffmpeg_decoded_frames(in) : 12;
        if (c.cut) {
            ASSERT_LT(frames, 12);
        }
        ProcessResult r = run_twopass({in, out}, registry);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, "");
        std::string why;
        EXPECT_TRUE(progress_text_ok(r.err, frames, frames, true, why)) << why << "\n" << r.err;
        VideoProbe probe = probe_video(out);
        EXPECT_EQ(probe.warnings, "");
        EXPECT_EQ(probe.frames, frames);
        EXPECT_EQ(probe.width, 160);
        EXPECT_GT(video_psnr(out, in), 28.0);
    }
}

// Size and hash of every video packet, copied out by ffmpeg.
std::vector<std::string> packet_hashes(const std::string& path) {
    ProcessResult r = run_process({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0", "-c", "copy",
                                   "-f", "framemd5", "-"});
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') lines.push_back(line.substr(line.rfind(',', line.rfind(',') - 1)));
    return lines;
}

// Every size is coded whole: the picture's right and bottom edges as well as
// the rest, about as well as at the nearest size in whole 16 x 16 blocks.
// Through the reader plug-in the same pictures give the same chunks, and
// MPG4 codes every size as well as MP42 does.
TEST_F(TwopassVfapi, EverySizeIsCodedWholeOnBothPaths) {
    write_plugin_registry(registry, {{"reader", vfapi_reader_library()}});
    struct Case {
        int width, height;
        int ref_width, ref_height;  // the nearest size in whole blocks
        double margin = 1.5;        // dB the size may lose against that one
    };
    constexpr int kFrames = 10;
    auto encode = [&](const std::string& in, const std::string& out, const char* codec = "2") {
        ProcessResult r = run_twopass({"-q", "-v", codec, "-r", "6000", in, out}, registry);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return r.exit_code == 0;
    };
    for (const Case& c : {Case{150, 100, 144, 96}, Case{322, 242, 320, 240}, Case{350, 240, 352, 240},
                          Case{720, 405, 720, 400}, Case{854, 480, 848, 480}, Case{1366, 768, 1360, 768},
                          // Nine rows show less of the pattern than sixteen, and at
                          // an odd width the player's conversion of our chroma
                          // to RGB loses more than at an even one.
                          Case{17, 9, 16, 16, 2.5}}) {
        const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
        SCOPED_TRACE(size);
        const std::string in = dir.file(size + ".avi"), out = dir.file(size + ".out.avi");
        const std::string ref_in = dir.file(size + ".ref.avi"), ref_out = dir.file(size + ".ref.out.avi");
        ASSERT_TRUE(make_testsrc_avi(in, c.width, c.height, kFrames));
        ASSERT_TRUE(make_testsrc_avi(ref_in, c.ref_width, c.ref_height, kFrames));
        ASSERT_TRUE(encode(in, out));
        ASSERT_TRUE(encode(ref_in, ref_out));

        VideoProbe probe = probe_video(out);
        EXPECT_EQ(probe.warnings, "");
        EXPECT_EQ(probe.width, c.width);
        EXPECT_EQ(probe.height, c.height);
        EXPECT_EQ(probe.frames, kFrames);
        const double whole = video_psnr(out, in), reference = video_psnr(ref_out, ref_in);
        const int edge_w = std::min(8, c.width), edge_h = std::min(8, c.height);
        const double right = video_psnr(out, in, std::to_string(edge_w) + ":ih:iw-" + std::to_string(edge_w) + ":0");
        const double bottom = video_psnr(out, in, "iw:" + std::to_string(edge_h) + ":0:ih-" + std::to_string(edge_h));
        EXPECT_GE(whole, 30.0);
        EXPECT_GE(whole, reference - c.margin) << "at " << c.ref_width << "x" << c.ref_height << ": " << reference;
        EXPECT_GE(right, whole - 6.0) << "whole " << whole;
        EXPECT_GE(bottom, whole - 6.0) << "whole " << whole;

        // MPG4 carries libavcodec's MP42 pictures in its own syntax, at any
        // size: the same pictures where MP42 is libavcodec's too, and not far
        // from ours where the build codes MP42 with our own coder.
        const std::string v1 = dir.file(size + ".v1.avi");
        ASSERT_TRUE(encode(in, v1, "1"));
        probe = probe_video(v1);
        EXPECT_EQ(probe.warnings, "");
        EXPECT_EQ(probe.codec, "msmpeg4v1");
        EXPECT_EQ(probe.width, c.width);
        EXPECT_EQ(probe.height, c.height);
        EXPECT_EQ(probe.frames, kFrames);
        if (TWOPASS_MP42_OWN_ENCODER) {
            EXPECT_GE(video_psnr(v1, in), whole - 2.0);
        } else {
            EXPECT_NEAR(video_psnr(v1, in), whole, 0.5);
        }

        // The same pictures, losslessly in a file only the reader opens.
        const std::string mkv = dir.file(size + ".mkv"), via_reader = dir.file(size + ".reader.avi");
        ASSERT_TRUE(ffmpeg({"-i", in, "-c:v", "ffv1", "-pix_fmt", "bgr0", mkv}));
        ASSERT_TRUE(encode(mkv, via_reader));
        EXPECT_EQ(packet_hashes(via_reader), packet_hashes(out));
        EXPECT_EQ(packet_hashes(out).size(), static_cast<size_t>(kFrames));
        EXPECT_EQ(ffprobe_key_flags(via_reader), ffprobe_key_flags(out));
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

    // Cut off before its index: FFmpeg's own complaint stays out of our messages.
    const std::string cut_off = dir.file("cut-off.mp4");
    std::ofstream(cut_off, std::ios::binary) << read_file(in).substr(0, 40);
    r = run_twopass({cut_off, out}, registry);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error - Can't open " + cut_off + "\n");

    // A file that opens but holds no picture.
    const std::string song = dir.file("song.wav");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "sine=duration=1", song}));
    r = run_twopass({song, out}, registry);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error - Can't open " + song + "\n");
    EXPECT_FALSE(file_exists(out));
}

// The same limit and message as for AVI input, before a frame is read.
TEST_F(TwopassVfapi, APictureLargerThanARunEncodesIsRefusedWithItsSize) {
    ASSERT_FALSE(scripted_plugin_library().empty());
    const std::string journal = dir.file("journal");
    const std::string plugin = install_scripted_plugin(
        dir.path(), "big.so", {"width=65536", "height=65536", "frames_l=5", "journal=" + journal});
    write_plugin_registry(registry, {{"big", plugin}});
    const std::string out = dir.file("out.avi");
    ProcessResult r = run_twopass({"in.aup", out}, registry, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "ERROR - the picture is 65536 x 65536; at most 16384 x 8192 can be encoded\n"
                     "ERROR - Can't open " + out + "\n");
    EXPECT_FALSE(file_exists(out));
    for (const std::string& call : read_lines(journal)) EXPECT_EQ(call.find(" read"), std::string::npos) << call;
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

// Pictures that don't keep one rate are served at one rate that keeps time:
// the output lasts as long as the input and its sound (34 pictures over
// 2.0 s, 17 at 25 a second, then 17 at 12.5).
TEST_F(TwopassVfapi, AVariableRateInputLastsAsLongAsItsSound) {
    write_plugin_registry(registry, {{"reader", vfapi_reader_library()}});
    const std::string in = dir.file("vfr.mkv"), out = dir.file("out.avi");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-f", "lavfi", "-i", "sine", "-frames:v",
                        "34", "-t", "2", "-vf", "setpts='if(lt(N,17),N,2*N-17)'", "-fps_mode", "passthrough", "-c:v",
                        "ffv1", "-c:a", "pcm_s16le", in}));
    ProcessResult r = run_twopass({"-q", in, out}, registry);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string frames = ffprobe_stream_field(out, "nb_frames");
    const std::string rate = ffprobe_stream_field(out, "r_frame_rate");
    EXPECT_EQ(ffprobe_stream_field(out, "duration"), "2.000000") << frames << " frames at " << rate;
    EXPECT_EQ(probe_video(out).frames, std::stoi(frames));
}

// Memory that runs out in a plug-in that says so (E_OUTOFMEMORY) is named:
// at the open before the line that the input can't be opened; at a frame
// instead of the input's end, with exit code 1 and the frames before in the file.
TEST_F(TwopassVfapi, MemoryRunningOutInAPluginIsNamed) {
    ASSERT_FALSE(scripted_plugin_library().empty());
    struct Case {
        const char* name;
        std::vector<std::string> script;
        int exit_code;
        std::string err;
        int frames;  // in the output; -1 for none
    };
    const Case cases[] = {
        {"open", {"width=32", "height=16", "open=0x8007000E"}, 1,
         "ERROR - not enough memory for the run\nError - Can't open in.tpr\n", -1},
        {"read", {"width=32", "height=16", "frames_l=8", "fail_read_at=3", "read_error=0x8007000E"}, 1,
         "ERROR - not enough memory to read frame 3 of in.tpr; the run stops there\n", 3},
        // Any other failure stays an input that ended early.
        {"other", {"width=32", "height=16", "frames_l=8", "fail_read_at=3", "read_error=0x80004005"}, 0,
         "WARNING - the input ended at frame 3 of 8\n", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string plugin = install_scripted_plugin(dir.path(), std::string(c.name) + ".so", c.script);
        write_plugin_registry(registry, {{c.name, plugin}});
        const std::string out = dir.file(std::string(c.name) + ".avi");
        ProcessResult r = run_twopass({"-q", "in.tpr", out}, registry, dir.path());
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_EQ(r.err, c.err);
        if (c.frames < 0) {
            EXPECT_FALSE(file_exists(out));
            continue;
        }
        EXPECT_NE(r.out.find("DEBUG - dwFrameNumberL: 3, dwFrameNumberH: 0\n"), std::string::npos) << r.out;
        EXPECT_EQ(probe_video(out).frames, c.frames);
    }
}

}  // namespace
