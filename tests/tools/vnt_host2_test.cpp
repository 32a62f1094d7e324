// vnt-host2 end to end: vnt.auo2 driven as the 64-bit editor drives it. Its
// exports against vnt.auo's through vnt-host, its settings file and project
// settings, stops and refusals.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/avi_probe.h"
#include "tests/support/support.h"
#include "tests/support/twopass_run.h"

namespace {

using testsupport::ProcessResult;

ProcessResult host2(std::vector<std::string> args) {
    args.insert(args.begin(), testsupport::build_dir() + "/vnt-host2");
    return testsupport::run_process(args, {"LC_ALL=C.UTF-8"});
}

ProcessResult host1(std::vector<std::string> args) {
    args.insert(args.begin(), testsupport::build_dir() + "/vnt-host");
    return testsupport::run_process(args);
}

// The line vnt-host2 shows for the plug-in's settings.
std::string settings_line(const ProcessResult& r) {
    const size_t at = r.out.find("settings:    ");
    if (at == std::string::npos) return "(missing)";
    const size_t start = at + 13;
    return r.out.substr(start, r.out.find('\n', start) - start);
}

// The video stream's packets: time, size and checksum of each.
std::string video_packets(const std::string& avi) { return testsupport::ffmpeg_framemd5(avi, "v:0"); }

TEST(VntHost2, TableAndDefaultSettings) {
    testsupport::TempDir dir;
    const ProcessResult r = host2({"--config-dir", dir.file("cfg")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("plug-in:     自動２パス MsPEG4 圧縮\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("information: 自動２パス MsPEG4 圧縮 for AviUtl ExEdit2, version "), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("file filter: AVI (*.avi) = *.avi\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("flags:       video audio project-settings\n"), std::string::npos) << r.out;
    EXPECT_EQ(settings_line(r), "MP42 3000 kbps, key 8 s, noise 9/28, audio PCM");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(testsupport::file_exists(dir.file("cfg/vnt.auo2.conf"))) << "written unasked";
}

class VntHost2Export : public ::testing::Test {
protected:
    void SetUp() override {
        // 30 frames at 25 per second (1.2 s, 57600 samples) beside 2 s of stereo sound.
        input = dir.file("in.avi");
        ASSERT_TRUE(testsupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=1.2", "-f",
                                         "lavfi", "-i", "aevalsrc=0.5*sin(440*2*PI*t)|0.3*sin(660*2*PI*t):s=48000:d=2",
                                         "-map", "0:v", "-map", "1:a", "-c:v", "rawvideo", "-pix_fmt", "bgr24", "-c:a",
                                         "pcm_s16le", input}));
        cfg = dir.file("cfg");
    }
    testsupport::TempDir dir;
    std::string input;
    std::string cfg;
};

// Thresholds at which some frames are redone for block noise, the log on:
// vnt.auo2 writes the video vnt.auo writes through vnt-host, byte for byte,
// and the same log; the sound is kept as PCM (the default) or as MP3.
TEST_F(VntHost2Export, TheVideoOfVntAuoWithTheSound) {
    struct Case {
        const char* name;
        const char* audio_entry;  // in the dialog's audio combo
        const char* vnt_host_audio;
        const char* codec;
    };
    const std::string input_pcm = testsupport::ffmpeg_audio_s16le(input);
    ASSERT_EQ(input_pcm.size(), 96000u * 4);
    for (const Case& c : {Case{"pcm", "", "pcm", "pcm_s16le"}, Case{"mp3", "1023=2;", "128", "mp3"}}) {
        SCOPED_TRACE(c.name);
        const std::string folder = dir.file(c.name);
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((folder + "/1").c_str(), 0755), 0);
        const std::string out = folder + "/out.avi", reference = folder + "/1/out.avi";
        ProcessResult r = host2({"--config-dir", folder + "/cfg", "--config-dialog",
                                 std::string("1017=6;1019=12;1021=2;1003=check;") + c.audio_entry + "ok", input, out});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.err.find("vnt-host2: 30 of 30 frames written to " + out + "\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("vnt-host2: the plug-in fetched 57600 of 57600 audio samples in "), std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("vnt-host2: log "), std::string::npos) << "nothing to warn of: " << r.err;
        EXPECT_NE(r.err.find("vnt-host2: the plug-in asked for 8 video and 16 audio buffers; frames were read up to 4 "
                             "ahead\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(testsupport::ffprobe_complaints(out), "");
        EXPECT_EQ(testsupport::ffmpeg_decoded_frames(out), 30);
        EXPECT_EQ(testsupport::ffprobe_audio_field(out, "codec_name"), c.codec);
        EXPECT_EQ(testsupport::ffprobe_audio_field(out, "sample_rate"), "48000");
        if (std::string(c.name) == "pcm") {
            EXPECT_TRUE(testsupport::ffmpeg_audio_s16le(out) == input_pcm.substr(0, 57600u * 4))
                << "not the input's samples";
        } else {
            EXPECT_EQ(testsupport::ffprobe_audio_field(out, "bit_rate"), "128000");
        }

        r = host1({"--defaults", "--no-save", "-q", "-d", "6", "-p", "12", "-s", "2", "-l", "--audio",
                   c.vnt_host_audio, input, reference});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const std::string packets = video_packets(out);
        EXPECT_EQ(std::count(packets.begin(), packets.end(), '\n') >= 30, true) << packets;
        EXPECT_EQ(packets, video_packets(reference));
        std::string log = testsupport::read_file(folder + "/out.log");
        std::string reference_log = testsupport::read_file(folder + "/1/out.log");
        log.erase(0, log.find('\n') + 1);
        reference_log.erase(0, reference_log.find('\n') + 1);
        EXPECT_NE(log.find("bad block"), std::string::npos) << "no frame redone: " << log;
        EXPECT_EQ(log, reference_log);
    }
}

// The editor's frames come as DIBs with rows padded to 4 bytes (452 bytes a
// row at width 150); a settings file can say that the host packs them
// instead. Either way the same video, and vnt.auo's.
TEST_F(VntHost2Export, PaddedOrPackedRows) {
    const std::string in = dir.file("150.avi");
    ASSERT_TRUE(testsupport::make_testsrc_avi(in, 150, 100, 10));
    const std::string padded = dir.file("padded.avi"), packed = dir.file("packed.avi"), reference = dir.file("1.avi");
    ProcessResult r = host2({"--config-dir", cfg, "-q", in, padded});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(mkdir(dir.file("packed").c_str(), 0755), 0);
    testsupport::write_file(dir.file("packed/vnt.auo2.conf"), "vnt.auo2 settings\nhost_rows=packed\n");
    r = host2({"--config-dir", dir.file("packed"), "-q", "--rows", "packed", in, packed});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    r = host1({"--defaults", "--no-save", "-q", in, reference});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(testsupport::ffprobe_stream_field(padded, "width"), "150");
    EXPECT_GT(testsupport::video_psnr(padded, in), 30.0) << "a sheared picture";
    const std::string packets = video_packets(padded);
    EXPECT_FALSE(packets.empty());
    EXPECT_EQ(video_packets(packed), packets);
    EXPECT_EQ(video_packets(reference), packets);
}

// Stops before frame 0 (no file: an existing one stays), in the middle and
// before the last frame (a complete file of the frames before, the sound
// with them): each an export that took place, as the plug-in answers it.
TEST_F(VntHost2Export, StopsAtTheFirstMiddleAndLastFrame) {
    const std::string out = dir.file("out.avi");
    testsupport::write_file(out, "an earlier file");
    for (const int stop : {0, 15, 29}) {
        SCOPED_TRACE(stop);
        const ProcessResult r = host2({"--config-dir", cfg, "-q", "--abort-at", std::to_string(stop), input, out});
        EXPECT_EQ(r.exit_code, 1) << r.err;
        EXPECT_NE(r.err.find("vnt-host2: " + std::to_string(stop) + " of 30 frames written before the stop to "),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("could not export"), std::string::npos) << r.err;
        if (stop == 0) {
            EXPECT_EQ(testsupport::read_file(out), "an earlier file");
            continue;
        }
        EXPECT_EQ(testsupport::ffprobe_complaints(out), "");
        EXPECT_EQ(testsupport::ffmpeg_decoded_frames(out), stop);
        EXPECT_EQ(testsupport::ffprobe_audio_field(out, "codec_name"), "pcm_s16le");
    }
}

// What the plug-in refuses, each with its reason in the editor's log: a
// request without video, an output it can't create. A Japanese name is an
// output like any other.
TEST_F(VntHost2Export, RefusalsAndNames) {
    struct Case {
        std::vector<std::string> options;
        std::string out;
        bool exported;
        std::string log;  // a line the log must show
    };
    const std::string japanese = dir.file("出力 ファイル.avi");
    const Case cases[] = {
        {{"--no-video"}, dir.file("novideo.avi"), false,
         "vnt-host2: log error: ERROR - the export has no video; vnt.auo2 writes video, with its sound\n"},
        {{"--no-video", "--no-logger"}, dir.file("novideo.avi"), false, ""},
        {{}, dir.file("no/such/folder/out.avi"), false,
         "vnt-host2: log error: ERROR - Can't open " + dir.file("no/such/folder/out.avi") + "\n"},
        {{"--frames", "3"}, japanese, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        std::vector<std::string> args = {"--config-dir", cfg, "-q"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {input, c.out});
        const ProcessResult r = host2(args);
        EXPECT_EQ(r.exit_code, c.exported ? 0 : 1) << r.err;
        if (!c.exported) {
            EXPECT_NE(r.err.find("vnt-host2: the plug-in could not export to " + c.out), std::string::npos) << r.err;
            EXPECT_FALSE(testsupport::file_exists(c.out));
        } else {
            EXPECT_EQ(testsupport::ffmpeg_decoded_frames(c.out), 3);
        }
        if (!c.log.empty()) {
            EXPECT_NE(r.err.find(c.log), std::string::npos) << r.err;
        } else {
            EXPECT_EQ(r.err.find("vnt-host2: log "), std::string::npos) << r.err;
        }
    }
}

// The settings the dialog stores are in the file for the next start; a file
// that is not ours or damaged gives the defaults, a warning, and stays as it
// is until the dialog stores settings (over a damaged file of ours only).
TEST(VntHost2, SettingsFileAcrossStarts) {
    testsupport::TempDir dir;
    const std::string cfg = dir.file("cfg"), file = dir.file("cfg/vnt.auo2.conf"), input = dir.file("in.avi");
    ASSERT_TRUE(testsupport::make_testsrc_avi(input, 160, 120, 3));
    ProcessResult r = host2({"--config-dir", cfg, "--config-dialog", "1013=4000;1023=0;cancel"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(testsupport::file_exists(file)) << "Cancel keeps nothing";
    r = host2({"--config-dir", cfg, "--config-dialog", "1013=4000;1023=0;ok"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(settings_line(r), "MP42 4000 kbps, key 8 s, noise 9/28, audio off");
    r = host2({"--config-dir", cfg});
    EXPECT_EQ(settings_line(r), "MP42 4000 kbps, key 8 s, noise 9/28, audio off") << "not kept for a new start";
    EXPECT_EQ(r.err, "");

    struct Case {
        const char* name;
        std::string bytes;
        bool ours;  // the dialog's settings take its place
    };
    const Case cases[] = {
        {"a number that is none", "vnt.auo2 settings\nbit_rate=fast\n", true},
        {"grown too long", "vnt.auo2 settings\n" + std::string(8000, '#') + "\n", true},
        {"another program's", "[vnt]\nbit_rate=4000\n", false},
        {"binary", std::string("\x00\xff\x10\x00", 4), false},
    };
    const std::string warning = "vnt-host2: log warn: WARNING - " + file +
                                " holds no settings of vnt.auo2; the defaults are used and the file is left as it is\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::write_file(file, c.bytes);
        r = host2({"--config-dir", cfg});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(settings_line(r), "MP42 3000 kbps, key 8 s, noise 9/28, audio PCM");
        EXPECT_EQ(r.err, warning);
        // An export is no reason to write the file either.
        r = host2({"--config-dir", cfg, "-q", input, dir.file("out.avi")});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_TRUE(testsupport::read_file(file) == c.bytes) << "written over unasked";
        r = host2({"--config-dir", cfg, "--config-dialog", "1013=5000;ok"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        if (c.ours) {
            EXPECT_EQ(testsupport::read_file(file).rfind("vnt.auo2 settings\n", 0), 0u);
            r = host2({"--config-dir", cfg});
            EXPECT_EQ(settings_line(r), "MP42 5000 kbps, key 8 s, noise 9/28, audio PCM");
        } else {
            EXPECT_TRUE(testsupport::read_file(file) == c.bytes) << "another program's file written over";
            EXPECT_NE(r.err.find("vnt-host2: log warn: WARNING - " + file +
                                 " holds no settings of vnt.auo2; the settings are not kept there\n"),
                      std::string::npos)
                << r.err;
        }
    }
    // A folder where the file would be: the defaults, and nothing made of it.
    ASSERT_EQ(::unlink(file.c_str()), 0);
    ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
    r = host2({"--config-dir", cfg, "--config-dialog", "1013=6000;ok"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("the settings are not kept there"), std::string::npos) << r.err;
    EXPECT_FALSE(testsupport::file_exists(file + ".new"));
}

// A project exports with the settings it was saved with; one without them
// (or with a damaged entry) takes the settings of the file.
TEST(VntHost2, ProjectSettingsRoundTrip) {
    testsupport::TempDir dir;
    const std::string cfg = dir.file("cfg"), project = dir.file("a.project");
    ProcessResult r = host2({"--config-dir", cfg, "--project", project, "--config-dialog", "1013=4000;1006=3;ok"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(testsupport::read_file(project).find(
                  "string settings=vnt.auo2 settings\\ncodec_index=3\\nbit_rate=4000\\n"),
              std::string::npos)
        << testsupport::read_file(project);
    // The settings outside the project change; the project keeps its own.
    r = host2({"--config-dir", cfg, "--config-dialog", "1013=2000;1006=1;ok"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    r = host2({"--config-dir", cfg, "--project", project});
    EXPECT_EQ(settings_line(r), "DIV3 4000 kbps, key 8 s, noise 9/28, audio PCM");
    EXPECT_EQ(r.err, "");
    r = host2({"--config-dir", cfg});
    EXPECT_EQ(settings_line(r), "MP42 2000 kbps, key 8 s, noise 9/28, audio PCM");

    const std::string input = dir.file("in.avi"), out = dir.file("out.avi");
    ASSERT_TRUE(testsupport::make_testsrc_avi(input, 160, 120, 5));
    r = host2({"--config-dir", cfg, "--project", project, "-q", input, out});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(testsupport::ffprobe_stream_field(out, "codec_tag_string"), "DIV3");

    struct Case {
        const char* name;
        std::string project;
        std::string warning;
    };
    const Case cases[] = {
        {"a new project", "", ""},
        {"another key only", "vnt-host2 project\nstring other=1\n", ""},
        {"a damaged entry", "vnt-host2 project\nstring settings=vnt.auo2 settings\\nbit_rate=x\\n\n",
         "vnt-host2: log warn: WARNING - the project's settings of vnt.auo2 can't be read; the settings kept outside "
         "it are used\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string p = dir.file("b.project");
        ::unlink(p.c_str());
        if (!c.project.empty()) testsupport::write_file(p, c.project);
        r = host2({"--config-dir", cfg, "--project", p});
        EXPECT_EQ(settings_line(r), "MP42 2000 kbps, key 8 s, noise 9/28, audio PCM");
        if (!c.warning.empty()) {
            EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
        } else {
            EXPECT_EQ(r.err, "");
        }
        // Saved back with the settings it exported with.
        EXPECT_NE(testsupport::read_file(p).find("bit_rate=2000\\n"), std::string::npos);
    }
}

}  // namespace
