// twopass end to end on AVI input: what it prints, its exit code, and the
// file it writes as ffprobe and ffmpeg see it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/avi_craft.h"
#include "tests/support/avi_probe.h"
#include "tests/support/scripted_plugin.h"
#include "tests/support/twopass_run.h"

namespace {

using namespace testsupport;

// Where each video frame's data lies in an AVI file written by ffmpeg: the
// chunks of its movi list, in order ({offset of the data, size}).
std::vector<std::pair<size_t, uint32_t>> frame_chunks(const std::string& file) {
    std::vector<std::pair<size_t, uint32_t>> chunks;
    const size_t movi = file.find("movi");
    if (movi == std::string::npos) return chunks;
    for (size_t at = movi + 4; at + 8 <= file.size();) {
        uint32_t size;
        std::memcpy(&size, file.data() + at + 4, 4);
        if (file.compare(at, 4, "00dc") == 0) chunks.emplace_back(at + 8, size);
        else if (file.compare(at, 4, "ix00") != 0 && file.compare(at, 4, "JUNK") != 0) break;
        at += 8 + size + (size & 1);
    }
    return chunks;
}

void write_whole(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

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

// Too tall for the detector, too wide for the codec, or a header that claims
// a picture of gigabytes: one message, given before anything is decoded.
TEST_F(TwopassAvi, PictureLargerThanARunEncodesIsRefusedBeforeTheOutputExists) {
    struct Case {
        const char* lavfi;
        std::vector<std::string> codec;
        int claimed_width, claimed_height;  // written into the stored format; 0: as made
        const char* size;                   // as the message gives it
    };
    const std::vector<std::string> raw = {"-c:v", "rawvideo", "-pix_fmt", "bgr24"};
    for (const Case& c : {Case{"color=size=16x8200", raw, 0, 0, "16 x 8200"},
                          Case{"color=size=16400x16", raw, 0, 0, "16400 x 16"},
                          Case{"color=size=16x16", {"-c:v", "mjpeg"}, 20000, -20000, "20000 x 20000"}}) {
        SCOPED_TRACE(c.size);
        const std::string in = dir.file("large.avi"), out = dir.file("out.avi");
        ASSERT_TRUE(make_clip(in, std::string(c.lavfi) + ":rate=25", 1, c.codec));
        if (c.claimed_width) {
            std::string bytes = read_file(in);
            const size_t strf = bytes.find("strf");
            ASSERT_NE(strf, std::string::npos);
            std::memcpy(&bytes[strf + 8 + 4], &c.claimed_width, 4);
            std::memcpy(&bytes[strf + 8 + 8], &c.claimed_height, 4);
            write_whole(in, bytes);
        }
        ProcessResult r = run_twopass({in, out}, registry);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, "ERROR - the picture is " + std::string(c.size) +
                             "; at most 16384 x 8192 can be encoded\nERROR - Can't open " + out + "\n");
        EXPECT_FALSE(file_exists(out));
    }
}

TEST_F(TwopassAvi, OutputThatCantBeCreated) {
    const std::string in = dir.file("raw.avi"), out = dir.file("no-such-folder/out.avi");
    ASSERT_TRUE(make_clip(in, "testsrc2=size=64x48:rate=25", 2, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
    ProcessResult r = run_twopass({in, out}, registry);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "ERROR - Can't open " + out + "\n");
}

// The output (or, with -l, its log) is the input under another name or the
// same: refused before anything is written, the input untouched.
TEST_F(TwopassAvi, OutputThatIsTheInputIsRefused) {
    const std::string in = dir.file("in.avi");
    ASSERT_TRUE(make_clip(in, "testsrc2=size=64x48:rate=25", 5, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
    const std::string before = read_file(in);
    ASSERT_EQ(symlink(in.c_str(), dir.file("symlink.avi").c_str()), 0);
    ASSERT_EQ(link(in.c_str(), dir.file("hardlink.avi").c_str()), 0);
    ASSERT_EQ(link(in.c_str(), dir.file("clip.log").c_str()), 0);
    struct Case {
        std::vector<std::string> args;
        std::string clash;  // the name said to be the input
    };
    for (const Case& c : {Case{{in, in}, in}, Case{{"-q", in, dir.file("symlink.avi")}, dir.file("symlink.avi")},
                          Case{{dir.file("symlink.avi"), dir.file("hardlink.avi")}, dir.file("hardlink.avi")},
                          Case{{"-l", in, dir.file("clip.avi")}, dir.file("clip.log")}}) {
        const std::string out = c.args.back();
        ProcessResult r = run_twopass(c.args, registry);
        EXPECT_EQ(r.exit_code, 1) << out;
        EXPECT_EQ(r.err, "ERROR - " + c.clash + " is the input file\nERROR - Can't open " + out + "\n");
        EXPECT_EQ(read_file(in), before) << out;
    }
    EXPECT_FALSE(file_exists(dir.file("clip.avi")));
    // Another file of the same content is no clash.
    const std::string copy = dir.file("copy.avi");
    ASSERT_TRUE(ffmpeg({"-i", in, "-c", "copy", copy}));
    EXPECT_EQ(run_twopass({"-q", in, copy}, registry).exit_code, 0);
}

// The bitmaps of -b bear fixed names, which the input, the output or the log
// may bear too: such a bitmap is not written, and a line says so once; in a
// folder that takes no bitmap a line says that once.
TEST_F(TwopassAvi, BitmapsAreNeverWrittenOverTheRunsFiles) {
    const std::string in = dir.file("in.avi");
    ASSERT_TRUE(make_clip(in, "testsrc2=size=320x240:rate=25", 12, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
    const std::string before = read_file(in);
    const std::vector<std::string> noisy = {"-q", "-b", "-d", "4", "-p", "4"};  // thresholds that reject frames 1 on
    auto folder = [&](const std::string& name) {
        const std::string path = dir.file(name);
        EXPECT_EQ(mkdir(path.c_str(), 0755), 0);
        return path;
    };
    auto args = [&](std::vector<std::string> more) {
        std::vector<std::string> a = noisy;
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    // Where nothing is in the way, frames 1 to 11 get their bitmaps.
    const std::string clean = folder("clean");
    ProcessResult r = run_twopass(args({in, dir.file("clean.avi")}), registry, clean);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(read_file(clean + "/00000005.bmp").size(), 178614u);

    enum class Link { none, input, log };  // which of the run's files is made 00000005.bmp by a link
    struct Case {
        const char* what;
        std::vector<std::string> extra;  // after the thresholds: -l, or nothing
        std::string output;              // relative to the run's folder
        Link link;
    };
    int runs = 0;
    for (const Case& c : {Case{"the input file", {}, "out.avi", Link::input},
                          Case{"the output file", {}, "00000005.bmp", Link::none},
                          Case{"the log", {"-l"}, "out.avi", Link::log}}) {
        const std::string run_dir = folder("run-" + std::to_string(++runs));
        const std::string bitmap = run_dir + "/00000005.bmp";
        if (c.link == Link::input) {
            ASSERT_EQ(link(in.c_str(), bitmap.c_str()), 0);
        } else if (c.link == Link::log) {
            // A symbolic link: an existing log is replaced by a new file, which a hard link would not follow.
            ASSERT_EQ(symlink("out.log", bitmap.c_str()), 0);
        }
        std::vector<std::string> a = args(c.extra);
        a.insert(a.end(), {in, c.output});
        r = run_twopass(a, registry, run_dir);
        EXPECT_EQ(r.exit_code, 0) << c.what << ": " << r.err;
        EXPECT_EQ(r.err, std::string("WARNING - 00000005.bmp is ") + c.what + "; no bitmap is written over it\n");
        EXPECT_TRUE(read_file(in) == before) << c.what << ": the input was written over";
        EXPECT_EQ(probe_video(run_dir + "/" + c.output).frames, 12) << c.what;
        EXPECT_EQ(read_file(run_dir + "/00000006.bmp").size(), 178614u) << c.what << ": the other bitmaps";
        if (c.link == Link::log) {
            EXPECT_EQ(read_lines(run_dir + "/out.log").size(), 3u + 12u) << c.what;
        }
    }

    // A folder that takes no bitmap (here: removed under the run): said once, the run goes on.
    r = run_process({"bash", "-c", "mkdir gone && cd gone && rmdir ../gone && exec \"$0\" \"$@\"", twopass_program(),
                     "-q", "-b", "-d", "4", "-p", "4", in, dir.file("gone.avi")},
                    {}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "WARNING - Can't create bitmap 00000001.bmp\n");
    EXPECT_EQ(probe_video(dir.file("gone.avi")).frames, 12);
}

// With -l an output named *.log would be its own log.
TEST_F(TwopassAvi, LogThatWouldBeTheOutputIsRefused) {
    const std::string in = dir.file("in.avi"), out = dir.file("out.log");
    ASSERT_TRUE(make_clip(in, "testsrc2=size=64x48:rate=25", 3, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
    ProcessResult r = run_twopass({"-l", in, out}, registry);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "ERROR - " + out + " would be its own log\nERROR - Can't open " + out + "\n");
    EXPECT_FALSE(file_exists(out));
    // Without -l it is an output like any other.
    r = run_twopass({"-q", in, out}, registry);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(probe_video(out).frames, 3);
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

// The file may not grow past the space there is: the run ends with a message
// and every frame taken stays in a complete, playable file, whether the limit
// is a file-size limit (with SIGXFSZ at its default, which would end the
// process, or ignored) or a full file system.
TEST_F(TwopassAvi, WriteFailureEndsTheRunWithAMessageAndAReadableFile) {
    const std::string in = dir.file("raw.avi");
    ASSERT_TRUE(make_clip(in, "testsrc2=size=320x240:rate=25", 40, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
    struct Case {
        const char* what;
        std::string shell;  // runs "$0" -q in out with the limit in force
        bool tmpfs;
    };
    const std::string run = "exec \"$0\" -q \"$@\"";
    int runs = 0;
    for (const Case& c : {Case{"ulimit, SIGXFSZ ignored", "trap '' XFSZ; ulimit -f 200; " + run, false},
                          Case{"ulimit", "ulimit -f 150; " + run, false},
                          Case{"ulimit, a few bytes more", "ulimit -f 151; " + run, false},
                          Case{"full tmpfs", "mount -t tmpfs -o size=192k none \"$(dirname \"$2\")\" && \"$0\" -q \"$@\"", true}}) {
        std::string out = dir.file("out-" + std::to_string(++runs) + ".avi");
        std::vector<std::string> argv = {"bash", "-c", c.shell, twopass_program(), in};
        if (c.tmpfs) {
            // A file system of its own, in a mount namespace of its own.
            const std::string mount_point = dir.file("small");
            ASSERT_EQ(mkdir(mount_point.c_str(), 0755), 0);
            out = mount_point + "/out.avi";
            const std::string script = c.shell + "; s=$?; cp \"$2\" \"$(dirname \"$2\")/../tmpfs-out.avi\"; exit $s";
            argv = {"unshare", "-rm", "bash", "-c", script, twopass_program(), in, out};
            ProcessResult probe = run_process({"unshare", "-rm", "bash", "-c",
                                               "mount -t tmpfs -o size=64k none \"$0\"", mount_point});
            if (probe.exit_code != 0) {
                std::printf("skipped the full tmpfs: this machine can't mount one here (%s)\n", probe.err.c_str());
                continue;
            }
        } else {
            argv.push_back(out);
        }
        ProcessResult r = run_process(argv);
        EXPECT_EQ(r.exit_code, 1) << c.what << ": " << r.err;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(r.err, m, std::regex("ERROR - Can't write frame ([0-9]+) to (.*)\n")))
            << c.what << ": " << r.err;
        EXPECT_EQ(m[2], out) << c.what;
        const std::string kept = c.tmpfs ? dir.file("tmpfs-out.avi") : out;
        VideoProbe probe = probe_video(kept);
        EXPECT_EQ(probe.warnings, "") << c.what;
        EXPECT_EQ(probe.frames, std::stoi(m[1])) << c.what;
        EXPECT_GT(probe.frames, 0) << c.what;
    }
}

TEST_F(TwopassAvi, DamagedFramesAreStoodInForAndAShortInputIsTold) {
    const std::string in = dir.file("mp42.avi"), out = dir.file("out.avi");
    ASSERT_TRUE(make_clip(in, "testsrc2=size=160x120:rate=25", 50, {"-c:v", "msmpeg4v2", "-g", "10"}));
    const std::string whole = read_file(in);
    const auto chunks = frame_chunks(whole);
    ASSERT_EQ(chunks.size(), 50u);
    auto zeroed = [&](int first, int last) {
        std::string bytes = whole;
        for (int n = first; n <= last; ++n) std::memset(&bytes[chunks[n].first], 0, chunks[n].second);
        return bytes;
    };

    // One damaged frame: the frame before stands in for it, every other frame is kept.
    const std::string damaged = dir.file("damaged.avi");
    write_whole(damaged, zeroed(20, 20));
    ProcessResult r = run_twopass({damaged, out}, registry);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string warning = "WARNING - frame 20 of " + damaged + " can't be decoded; the frame before stands in for it\n";
    const size_t at = r.err.find(warning);
    ASSERT_NE(at, std::string::npos) << r.err;
    std::string why;
    std::string progress = r.err;
    progress.erase(at - 1, warning.size() + 1);  // the warning and the line end before it
    EXPECT_TRUE(progress_text_ok(progress, 50, 50, true, why)) << why << "\n" << r.err;
    VideoProbe probe = probe_video(out);
    EXPECT_EQ(probe.warnings, "");
    EXPECT_EQ(probe.frames, 50);

    // 25 in a row: nothing left worth converting; the frames so far make a complete file.
    write_whole(damaged, zeroed(20, 44));
    r = run_twopass({"-q", damaged, out}, registry);
    EXPECT_EQ(r.exit_code, 1);
    std::string expected;
    for (int n = 20; n < 44; ++n)
        expected += "WARNING - frame " + std::to_string(n) + " of " + damaged +
                    " can't be decoded; the frame before stands in for it\n";
    expected += "ERROR - frames 20 to 44 of " + damaged + " can't be decoded; the run stops there\n";
    EXPECT_EQ(r.err, expected);
    probe = probe_video(out);
    EXPECT_EQ(probe.warnings, "");
    EXPECT_EQ(probe.frames, 44);

    // A file cut off at frame 17 (its index with it): 17 frames and a line
    // that says so, after the finish line.
    const std::string cut = dir.file("cut.avi");
    write_whole(cut, whole.substr(0, chunks[17].first - 8));
    r = run_twopass({cut, out}, registry);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string ended = "WARNING - the input ended at frame 17 of 50\n";
    ASSERT_GT(r.err.size(), ended.size());
    EXPECT_EQ(r.err.substr(r.err.size() - ended.size()), ended);
    EXPECT_TRUE(progress_text_ok(r.err.substr(0, r.err.size() - ended.size()), 50, 17, true, why)) << why << "\n" << r.err;
    EXPECT_EQ(probe_video(out).frames, 17);
}

// Output frame n is input frame n, nearest by PSNR to the source's frame n,
// and none is lost: whatever order the codec stores its frames in, and
// however the file is laid out (tests/support/avi_craft.h).
TEST_F(TwopassAvi, EveryFrameComesOutAsTheSourceFrameOfItsNumber) {
    for (const OrderedInput& input : ordered_inputs()) {
        SCOPED_TRACE(input.name);
        const std::string in = dir.file(std::string(input.name) + ".avi"), reference = dir.file("reference.avi");
        const std::string out = dir.file("out.avi");
        ASSERT_TRUE(make_ordered_input(input, in, reference));
        ProcessResult r = run_twopass({"-q", "-r", "6000", in, out}, registry);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::vector<int> expected(static_cast<size_t>(input.frames));
        for (int n = 0; n < input.frames; ++n) expected[static_cast<size_t>(n)] = n;
        EXPECT_EQ(nearest_frames(out, reference, input_width, input_height), expected);
        EXPECT_GT(video_psnr(out, reference), 28.0) << "a picture made up, not decoded";
    }
}

TEST_F(TwopassAvi, AFrameRateOfZeroIsRefused) {
    const std::string in = dir.file("raw.avi"), out = dir.file("out.avi");
    ASSERT_TRUE(make_clip(in, "testsrc2=size=64x48:rate=25", 3, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
    std::string bytes = read_file(in);
    const size_t strh = bytes.find("strh");
    ASSERT_NE(strh, std::string::npos);
    std::memset(&bytes[strh + 8 + 24], 0, 4);  // dwRate
    write_whole(in, bytes);
    ProcessResult r = run_twopass({in, out}, registry);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "ERROR - the input's frame format can't be encoded\nERROR - Can't open " + out + "\n");
    EXPECT_FALSE(file_exists(out));
}

}  // namespace
