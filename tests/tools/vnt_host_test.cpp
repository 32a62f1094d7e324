// vnt-host end to end: the settings it keeps for the plug-in, and exports
// through the plug-in compared with the console program's.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/avi_craft.h"
#include "tests/support/avi_probe.h"
#include "tests/support/support.h"
#include "tests/support/twopass_run.h"

namespace {

using testsupport::ProcessResult;

ProcessResult host(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), testsupport::build_dir() + "/vnt-host");
    return testsupport::run_process(args, env);
}

std::array<int32_t, 10> stored(const std::string& path) {
    const std::string bytes = testsupport::read_file(path);
    std::array<int32_t, 10> words{};
    EXPECT_EQ(bytes.size(), 40u);
    if (bytes.size() == 40) std::memcpy(words.data(), bytes.data(), 40);
    return words;
}

// The value vnt-host shows for a field of the settings.
std::string shown(const std::string& out, const std::string& field) {
    const size_t at = out.find("\n" + field + " ");
    if (at == std::string::npos) return "(missing)";
    const size_t value = out.find_first_not_of(' ', at + field.size() + 2);
    return out.substr(value, out.find_first_of(" \n", value) - value);
}

// Each codec reads the same in both front ends: twopass and vnt-host list the
// same letter beside its FourCC, and every letter of a row picks the plug-in's
// codec index whose list text names that FourCC.
TEST(VntHost, CodecLettersMatchTheConsole) {
    struct Row {
        const char* letters;
        const char* name;
        const char* index;
        const char* list_text;
    };
    const Row rows[] = {
        {"1", "MPG4", "0", "MPG4 (MPEG-4 V1)"}, {"2", "MP42", "1", "MP42 (MPEG-4 V2)"},
        {"3", "MP43", "2", "MP43 (MPEG-4 V3)"}, {"Ll", "DIV3", "3", "DIV3 (Low Motion)"},
        {"Ff", "DIV4", "4", "DIV4 (Fast Motion)"},
        {"x9M", "MP42", "1", "MP42 (MPEG-4 V2)"},  // any other letter: the default
    };
    testsupport::TempDir dir;
    const std::vector<std::string> env = {"XDG_CONFIG_HOME=" + dir.path()};
    const ProcessResult console = testsupport::run_process({testsupport::build_dir() + "/twopass", "-h"}, env);
    ASSERT_EQ(console.exit_code, 0) << console.err;
    const ProcessResult usage = host({"-h"}, env);
    ASSERT_EQ(usage.exit_code, 0) << usage.err;
    for (const Row& row : rows) {
        if (row.letters[0] != 'x') {
            EXPECT_NE(console.err.find(row.letters[0] + std::string(":") + row.name), std::string::npos) << row.name;
            EXPECT_NE(usage.out.find(std::string(" ") + row.letters[0] + " " + row.name), std::string::npos)
                << row.name;
        }
        for (const char* letter = row.letters; *letter; ++letter) {
            const ProcessResult r = host({"--defaults", "--no-save", "-v", std::string(1, *letter)}, env);
            ASSERT_EQ(r.exit_code, 0) << r.err;
            EXPECT_EQ(shown(r.out, "codec_index"), row.index) << *letter;
            EXPECT_NE(r.out.find(std::string("(") + row.list_text + ")\n"), std::string::npos) << *letter;
        }
    }
}

TEST(VntHost, KeepsThePluginSettingsBetweenRuns) {
    testsupport::TempDir dir;
    // The plug-in's own defaults, with the table's texts shown in UTF-8.
    ProcessResult r = host({"--defaults", "--no-save"}, {"XDG_CONFIG_HOME=" + dir.path(), "LC_ALL=C.UTF-8"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("plug-in:     自動２パス MsPEG4 圧縮\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("file filter: AVI (*.avi) = *.avi\n"), std::string::npos) << r.out;
    EXPECT_FALSE(testsupport::file_exists(dir.file("twopass/vnt-host.cfg")));
    const std::array<std::pair<const char*, const char*>, 10> defaults = {{{"codec_index", "1"},
                                                                         {"bit_rate", "3000"},
                                                                         {"key_seconds", "8"},
                                                                         {"compression_control", "75"},
                                                                         {"diff_threshold", "9"},
                                                                         {"pixel_threshold", "28"},
                                                                         {"log_enabled", "0"},
                                                                         {"analyse_enabled", "0"},
                                                                         {"scene_level", "0"},
                                                                         {"audio", "0"}}};
    for (const auto& [field, value] : defaults) EXPECT_EQ(shown(r.out, field), value) << field;

    // Changes land in the configuration folder and come back next time.
    r = host({"-v", "3", "-r", "50000", "-l", "-s", "25"}, {"XDG_CONFIG_HOME=" + dir.path()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string cfg = dir.file("twopass/vnt-host.cfg");
    EXPECT_EQ(stored(cfg), (std::array<int32_t, 10>{2, 50000, 8, 75, 9, 28, 1, 0, 25, 0}));
    r = host({"--config-file", cfg});
    EXPECT_EQ(shown(r.out, "bit_rate"), "50000");

    // The dialog, scripted: Cancel keeps everything, OK stores what was entered.
    r = host({"--config-file", cfg, "--config-dialog", "1013=4000;1004=check;cancel"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(stored(cfg), (std::array<int32_t, 10>{2, 50000, 8, 75, 9, 28, 1, 0, 25, 0}));
    r = host({"--config-file", cfg, "--config-dialog", "1013=4000;1004=check;1003=uncheck;1006=4;ok"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("closed with OK"), std::string::npos) << r.err;
    EXPECT_EQ(stored(cfg), (std::array<int32_t, 10>{4, 4000, 8, 75, 9, 28, 0, 1, 25, 0}));

    // A script the dialog can't follow is an error and changes nothing.
    for (const char* bad : {"1013=1;nonsense", "1099=1;ok"}) {
        r = host({"--config-file", cfg, "--config-dialog", bad});
        EXPECT_EQ(r.exit_code, 1) << bad;
        EXPECT_NE(r.err.find("dialog"), std::string::npos) << r.err;
        EXPECT_EQ(stored(cfg), (std::array<int32_t, 10>{4, 4000, 8, 75, 9, 28, 0, 1, 25, 0})) << bad;
    }

    // A configuration path that is a folder: a plain error, read or kept, and nothing left behind.
    const std::string folder = dir.file("folder.cfg");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--config-file", folder},
                                                 std::vector<std::string>{"--defaults", "--config-file", folder}}) {
        r = host(args);
        EXPECT_EQ(r.exit_code, 1) << args.size();
        EXPECT_EQ(r.err.rfind("vnt-host: can't ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(folder), std::string::npos) << r.err;
        EXPECT_FALSE(testsupport::file_exists(folder + ".new"));
    }
}

// The audio setting: off, PCM or an MP3 rate, kept as given until a run
// clamps it; the dialog's combo sets it too. Settings an earlier vnt.auo kept
// (36 bytes, before the audio setting) load with audio off and are kept at
// the record's 40 bytes from then on.
TEST(VntHost, AudioSettingAndSettingsFromBeforeIt) {
    testsupport::TempDir dir;
    const std::string cfg = dir.file("vnt-host.cfg");
    const std::array<int32_t, 9> earlier = {2, 4000, 12, 60, 10, 30, 1, 0, 3};
    std::ofstream(cfg, std::ios::binary).write(reinterpret_cast<const char*>(earlier.data()), 36);
    ProcessResult r = host({"--config-file", cfg});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "") << "the earlier settings are taken, not ignored";
    EXPECT_EQ(shown(r.out, "bit_rate"), "4000");
    EXPECT_EQ(shown(r.out, "scene_level"), "3");
    EXPECT_EQ(shown(r.out, "audio"), "0");
    EXPECT_EQ(stored(cfg), (std::array<int32_t, 10>{2, 4000, 12, 60, 10, 30, 1, 0, 3, 0}));

    struct Case {
        const char* value;
        int32_t audio;
    };
    for (const Case& c : {Case{"pcm", 1}, Case{"192", 192}, Case{"1000", 1000}, Case{"off", 0}, Case{"7", 7}}) {
        r = host({"--config-file", cfg, "--audio", c.value});
        ASSERT_EQ(r.exit_code, 0) << c.value << ": " << r.err;
        EXPECT_EQ(shown(r.out, "audio"), std::to_string(c.audio)) << c.value;
        EXPECT_EQ(stored(cfg), (std::array<int32_t, 10>{2, 4000, 12, 60, 10, 30, 1, 0, 3, c.audio})) << c.value;
    }
    for (const char* bad : {"loud", "", "128k"}) {
        r = host({"--config-file", cfg, "--audio", bad});
        EXPECT_EQ(r.exit_code, 1) << bad;
        EXPECT_EQ(r.err, "vnt-host: --audio takes off, pcm or a bit rate in kbit/s\n") << bad;
    }
    r = host({"--config-file", cfg, "--config-dialog", "1023=3;ok"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(stored(cfg)[9], 192);
}

// A settings path that names something else (a video, a large file, a
// device) is read as no settings and never written over; an empty file or
// none at all takes the settings.
TEST(VntHost, ASettingsFileThatIsNotOneIsNeverWrittenOver) {
    testsupport::TempDir dir;
    enum Kind { nothing, empty, bytes, sparse, fifo };
    struct Case {
        const char* name;
        Kind kind;
        off_t size;
        bool kept;  // the settings are kept there
    };
    for (const Case& c : {Case{"video.avi", bytes, 5000, false}, Case{"37.cfg", bytes, 37, false},
                          Case{"big.cfg", sparse, off_t{100} << 20, false}, Case{"fifo.cfg", fifo, 0, false},
                          Case{"empty.cfg", empty, 0, true}, Case{"none.cfg", nothing, 0, true}}) {
        const std::string path = dir.file(c.name);
        const std::string before(c.kind == bytes ? static_cast<size_t>(c.size) : 0, 'v');
        if (c.kind == fifo) {
            ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        }
        if (c.kind == bytes || c.kind == empty || c.kind == sparse) std::ofstream(path, std::ios::binary) << before;
        if (c.kind == sparse) {
            ASSERT_EQ(truncate(path.c_str(), c.size), 0);
        }
        struct stat st_before {};
        stat(path.c_str(), &st_before);

        const ProcessResult r = host({"--config-file", path, "-r", "4000"});
        EXPECT_EQ(r.exit_code, 0) << c.name << ": " << r.err;
        EXPECT_EQ(shown(r.out, "bit_rate"), "4000") << c.name;
        EXPECT_EQ(shown(r.out, "key_seconds"), "8") << c.name << ": the defaults beside the change";
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0) << c.name;
        if (c.kept) {
            EXPECT_EQ(stored(path)[1], 4000) << c.name;
            EXPECT_EQ(r.err.find("not a settings file"), std::string::npos) << r.err;
            continue;
        }
        EXPECT_NE(r.err.find("vnt-host: not keeping the settings in " + path + ": it is not a settings file\n"),
                  std::string::npos)
            << c.name << ": " << r.err;
        EXPECT_EQ(st.st_ino, st_before.st_ino) << c.name << " was replaced";
        EXPECT_EQ(st.st_mode, st_before.st_mode) << c.name;
        EXPECT_EQ(st.st_size, st_before.st_size) << c.name;
        if (c.kind == bytes) {
            EXPECT_TRUE(testsupport::read_file(path) == before) << c.name << " was written over";
        }
        EXPECT_FALSE(testsupport::file_exists(path + ".new")) << c.name;
    }
}

class VntHostExport : public ::testing::Test {
protected:
    void SetUp() override {
        input = dir.file("in.avi");
        ASSERT_TRUE(testsupport::make_clip(input, "testsrc2=size=320x240:rate=25", 30,
                                           {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
        cfg = dir.file("vnt-host.cfg");
    }
    testsupport::TempDir dir;
    std::string input;
    std::string cfg;
};

TEST_F(VntHostExport, WritesTheSameFramesAndLogAsTheConsole) {
    // Thresholds at which some frames of this clip are redone for block noise.
    const std::string settings_args[] = {"-d", "6", "-p", "12", "-s", "2", "-l"};
    std::vector<std::string> plugin_args = {"--defaults", "--config-file", cfg, "-q"};
    std::vector<std::string> console_args = {testsupport::build_dir() + "/twopass", "-q"};
    for (const std::string& a : settings_args) {
        plugin_args.push_back(a);
        console_args.push_back(a);
    }
    ASSERT_EQ(::mkdir(dir.file("host").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir.file("console").c_str(), 0755), 0);
    const std::string host_out = dir.file("host/out.avi");
    const std::string console_out = dir.file("console/out.avi");
    plugin_args.insert(plugin_args.end(), {input, host_out});
    console_args.insert(console_args.end(), {input, console_out});

    ProcessResult r = host(plugin_args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(testsupport::ffprobe_complaints(host_out), "");
    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(host_out), 30);
    EXPECT_EQ(testsupport::ffprobe_stream_field(host_out, "codec_tag_string"), "MP42");

    r = testsupport::run_process(console_args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // Line for line the same log but for the header's path.
    std::string host_log = testsupport::read_file(dir.file("host/out.log"));
    std::string console_log = testsupport::read_file(dir.file("console/out.log"));
    ASSERT_EQ(host_log.rfind("[" + host_out + "]\n", 0), 0u) << host_log;
    ASSERT_EQ(console_log.rfind("[" + console_out + "]\n", 0), 0u) << console_log;
    host_log.erase(0, host_log.find('\n') + 1);
    console_log.erase(0, console_log.find('\n') + 1);
    EXPECT_EQ(std::count(host_log.begin(), host_log.end(), '\n'), 2 + 30);
    EXPECT_NE(host_log.find("bad block"), std::string::npos) << host_log;
    EXPECT_EQ(host_log, console_log);
    // Frame for frame the same bytes: the plug-in takes one frame at a time,
    // the console checks frame n beside the compression of n + 1.
    const auto packets = [](const std::string& avi) {
        return testsupport::run_process({"ffmpeg", "-v", "error", "-i", avi, "-map", "0:v", "-c", "copy", "-f",
                                         "framemd5", "-"})
            .out;
    };
    const std::string host_packets = packets(host_out);
    EXPECT_EQ(std::count(host_packets.begin(), host_packets.end(), '\n') >= 30, true) << host_packets;
    EXPECT_EQ(host_packets, packets(console_out));
}

// As for the console: output frame n is input frame n whatever order the
// codec stores its frames in and however the file is laid out.
TEST_F(VntHostExport, EveryFrameComesOutAsTheSourceFrameOfItsNumber) {
    for (const testsupport::OrderedInput& input : testsupport::ordered_inputs()) {
        SCOPED_TRACE(input.name);
        const std::string in = dir.file(std::string(input.name) + ".avi"), reference = dir.file("reference.avi");
        const std::string out = dir.file("out.avi");
        ASSERT_TRUE(testsupport::make_ordered_input(input, in, reference));
        ProcessResult r = host({"--defaults", "--no-save", "-q", "-r", "6000", in, out});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        std::vector<int> expected(static_cast<size_t>(input.frames));
        for (int n = 0; n < input.frames; ++n) expected[static_cast<size_t>(n)] = n;
        EXPECT_EQ(testsupport::nearest_frames(out, reference, testsupport::input_width, testsupport::input_height),
                  expected);
        EXPECT_GT(testsupport::video_psnr(out, reference), 28.0) << "a picture made up, not decoded";
    }
}

TEST_F(VntHostExport, RowsPaddedToFourBytesAtAnyWidth) {
    // The host hands over DIB rows: 452 bytes a row at width 150. Read as
    // packed rows they would shear the picture far below width 152's quality,
    // with MP42 and with MPG4 alike.
    double psnr[2] = {};
    for (int k = 0; k < 2; ++k) {
        const int width = k ? 152 : 150;
        const std::string in = dir.file(std::to_string(width) + ".avi");
        const std::string out = dir.file(std::to_string(width) + ".out.avi");
        ASSERT_TRUE(testsupport::make_testsrc_avi(in, width, 100, 10));
        ProcessResult r = host({"--defaults", "--no-save", "-q", "-r", "6000", "--key", "4", in, out});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(testsupport::ffprobe_stream_field(out, "width"), std::to_string(width));
        const std::vector<bool> keys = testsupport::ffprobe_key_flags(out);
        ASSERT_EQ(keys.size(), 10u);
        EXPECT_TRUE(keys[4]) << "a frame flagged 1 is a key frame";
        psnr[k] = testsupport::video_psnr(out, in);
    }
    EXPECT_GT(psnr[0], 30.0);
    EXPECT_GE(psnr[0], psnr[1] - 1.0) << "width 152: " << psnr[1];

    // The plug-in's first codec, MPG4, from the same padded rows.
    const std::string in = dir.file("150.avi"), out = dir.file("150.v1.avi");
    ProcessResult r = host({"--defaults", "--no-save", "-q", "-r", "6000", "--codec-index", "0", in, out});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(testsupport::ffprobe_stream_field(out, "codec_tag_string"), "MPG4");
    EXPECT_EQ(testsupport::ffprobe_complaints(out), "");
    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(out), 10);
    // libavcodec's MP42 pictures: the same as MP42's where that is
    // libavcodec's too, not far below ours where the build codes MP42 itself.
    if (TWOPASS_MP42_OWN_ENCODER) {
        EXPECT_GE(testsupport::video_psnr(out, in), psnr[0] - 2.0);
    } else {
        EXPECT_NEAR(testsupport::video_psnr(out, in), psnr[0], 0.5);
    }
}

TEST_F(VntHostExport, KeyFrameRequestsAndAStop) {
    const std::string out = dir.file("out.avi");
    // An index outside the codec table encodes with MP42.
    ProcessResult r = host({"--defaults", "--no-save", "-q", "--codec-index", "9", "--key", "7,20", input, out});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(testsupport::ffprobe_stream_field(out, "codec_tag_string"), "MP42");
    const std::vector<bool> keys = testsupport::ffprobe_key_flags(out);
    ASSERT_EQ(keys.size(), 30u);
    EXPECT_TRUE(keys[0] && keys[7] && keys[20]);

    // A stop before frame 12 leaves a complete file of 12 frames.
    r = host({"--defaults", "--no-save", "-q", "--abort-at", "12", input, out});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("12 of 30 frames written before the stop"), std::string::npos) << r.err;
    EXPECT_EQ(testsupport::ffprobe_complaints(out), "");
    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(out), 12);

    // No frame written (a stop at once, no frames asked for): that file stays as it was.
    const std::string twelve = testsupport::read_file(out);
    for (const std::vector<std::string>& limit : {std::vector<std::string>{"--abort-at", "0"},
                                                  std::vector<std::string>{"--frames", "0"}}) {
        std::vector<std::string> args = {"--defaults", "--no-save", "-q"};
        args.insert(args.end(), limit.begin(), limit.end());
        args.insert(args.end(), {input, out});
        r = host(args);
        EXPECT_EQ(r.exit_code, limit[0] == "--frames" ? 0 : 1) << limit[0] << ": " << r.err;
        EXPECT_TRUE(testsupport::read_file(out) == twelve) << limit[0] << ": the file was replaced";
    }

    // An output the plug-in can't create is reported as a failed export.
    r = host({"--defaults", "--no-save", "-q", input, dir.file("no/such/folder/out.avi")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("could not export"), std::string::npos) << r.err;
}

// The input's audio as the editor hands out its own. With the setting off
// the export is the file the same clip without audio gives, byte for byte,
// and the plug-in never fetches audio; with PCM the file's audio is the
// input's, sample for sample, up to the video's end; with MP3 it is MP3 at
// the rate asked.
TEST_F(VntHostExport, AudioOfTheInputOffPcmAndMp3) {
    // 30 frames at 25 per second (1.2 s, 57600 samples) beside 2 s of stereo sound.
    const std::string with_audio = dir.file("sound.avi");
    ASSERT_TRUE(testsupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=1.2", "-f", "lavfi", "-i",
                                     "aevalsrc=0.5*sin(440*2*PI*t)|0.3*sin(660*2*PI*t):s=48000:d=2", "-map", "0:v",
                                     "-map", "1:a", "-c:v", "rawvideo", "-pix_fmt", "bgr24",
                                     "-c:a", "pcm_s16le", with_audio}));
    const std::string input_pcm = testsupport::ffmpeg_audio_s16le(with_audio);
    ASSERT_EQ(input_pcm.size(), 96000u * 4);

    const std::string today = dir.file("today.avi");
    ProcessResult r = host({"--defaults", "--no-save", "-q", input, today});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string off = dir.file("off.avi");
    r = host({"--defaults", "--no-save", "--audio", "off", with_audio, off});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("vnt-host: the plug-in fetched 0 of 96000 audio samples in 0 calls\n"), std::string::npos)
        << r.err;
    EXPECT_TRUE(testsupport::read_file(off) == testsupport::read_file(today)) << "not today's file";

    const std::string pcm = dir.file("pcm.avi");
    r = host({"--defaults", "--no-save", "--audio", "pcm", with_audio, pcm});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("vnt-host: the plug-in fetched 57600 of 96000 audio samples in "), std::string::npos)
        << r.err;
    EXPECT_EQ(testsupport::ffprobe_complaints(pcm), "");
    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(pcm), 30);
    EXPECT_EQ(testsupport::ffprobe_audio_field(pcm, "codec_name"), "pcm_s16le");
    EXPECT_EQ(testsupport::ffprobe_audio_field(pcm, "sample_rate"), "48000");
    EXPECT_EQ(testsupport::ffprobe_audio_field(pcm, "channels"), "2");
    EXPECT_TRUE(testsupport::ffmpeg_audio_s16le(pcm) == input_pcm.substr(0, 57600u * 4))
        << "not the input's samples";

    const std::string mp3 = dir.file("mp3.avi");
    r = host({"--defaults", "--no-save", "-q", "--audio", "128", with_audio, mp3});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(testsupport::ffprobe_complaints(mp3), "");
    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(mp3), 30);
    EXPECT_EQ(testsupport::ffprobe_audio_field(mp3, "codec_name"), "mp3");
    EXPECT_EQ(testsupport::ffprobe_audio_field(mp3, "sample_rate"), "48000");
    EXPECT_EQ(testsupport::ffprobe_audio_field(mp3, "bit_rate"), "128000");
}

// Audio the editor would not hand out as it is (here 8-bit PCM) is left out,
// and said so: the export is the video alone.
TEST_F(VntHostExport, AudioThatIsNotSixteenBitPcmIsLeftOut) {
    const std::string in = dir.file("u8.avi"), out = dir.file("out.avi");
    ASSERT_TRUE(testsupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-f", "lavfi", "-i",
                                     "sine=frequency=440:sample_rate=22050:duration=1", "-map", "0:v", "-map", "1:a",
                                     "-frames:v", "10", "-c:v", "rawvideo", "-pix_fmt", "bgr24", "-c:a", "pcm_u8",
                                     in}));
    const ProcessResult r = host({"--defaults", "--no-save", "-q", "--audio", "pcm", in, out});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "vnt-host: the audio of " + in + " is not 16-bit PCM: the plug-in gets none\n");
    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(out), 10);
    EXPECT_EQ(testsupport::ffprobe_audio_field(out, "codec_name"), "");
}

// The export just written is not taken for the settings file it was named as.
TEST_F(VntHostExport, TheExportIsNeverTakenForItsSettingsFile) {
    const std::string out = dir.file("out.avi");
    const ProcessResult r = host({"--config-file", out, "-q", "--frames", "3", input, out});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "vnt-host: not keeping the settings in " + out + ": it is not a settings file\n");
    EXPECT_EQ(testsupport::ffprobe_complaints(out), "");
    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(out), 3);
}

// The plug-in's bitmaps land in the host's current folder, and never on its
// output or log: an export named like one stays whole, the others are written.
TEST_F(VntHostExport, BitmapsAreNeverWrittenOverTheExport) {
    const std::string run_dir = dir.file("run");
    ASSERT_EQ(mkdir(run_dir.c_str(), 0755), 0);
    const ProcessResult r = testsupport::run_process({testsupport::build_dir() + "/vnt-host", "--defaults", "--no-save",
                                                      "-q", "-b", "-l", "-d", "4", "-p", "4", "--frames", "8", input,
                                                      "00000005.bmp"},
                                                     {}, run_dir);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(testsupport::ffprobe_complaints(run_dir + "/00000005.bmp"), "");
    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(run_dir + "/00000005.bmp"), 8);
    EXPECT_EQ(testsupport::read_file(run_dir + "/00000004.bmp").size(), 178614u);
}

// The output (or, with the log on, its log) is the input under another name
// or the same: refused before the plug-in writes anything, the input kept.
TEST_F(VntHostExport, OutputThatIsTheInputIsRefused) {
    const std::string before = testsupport::read_file(input);
    ASSERT_EQ(symlink(input.c_str(), dir.file("symlink.avi").c_str()), 0);
    ASSERT_EQ(link(input.c_str(), dir.file("hardlink.avi").c_str()), 0);
    ASSERT_EQ(link(input.c_str(), dir.file("clip.log").c_str()), 0);
    struct Case {
        std::vector<std::string> args;
        std::string clash;  // the name said to be the input
    };
    for (const Case& c : {Case{{input, input}, input},
                          Case{{input, dir.file("symlink.avi")}, dir.file("symlink.avi")},
                          Case{{dir.file("symlink.avi"), dir.file("hardlink.avi")}, dir.file("hardlink.avi")},
                          Case{{"-l", input, dir.file("clip.avi")}, dir.file("clip.log")}}) {
        std::vector<std::string> args = {"--defaults", "--config-file", cfg, "-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProcessResult r = host(args);
        EXPECT_EQ(r.exit_code, 1) << c.clash;
        EXPECT_EQ(r.err, "vnt-host: " + c.clash + " is the input file\n");
        EXPECT_TRUE(testsupport::read_file(input) == before) << c.clash << " was written over";
    }
    EXPECT_FALSE(testsupport::file_exists(dir.file("clip.avi")));
    // Without the log the same output is no clash.
    const ProcessResult r = host({"--defaults", "--no-save", "-q", "--frames", "2", input, dir.file("clip.avi")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(dir.file("clip.avi")), 2);
}

// The signals twopass answers stop an export as Ctrl-C does: a complete file
// of the frames before the stop. Standard error into a pipe nobody reads loses
// nothing either: the export runs to its end.
TEST_F(VntHostExport, StopSignalsCompleteTheFile) {
    const std::string in = dir.file("long.avi");
    ASSERT_TRUE(testsupport::make_clip(in, "testsrc2=size=320x240:rate=25", 600, {"-c:v", "msmpeg4v2"}));
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, 0}) {
        const std::string what = signal_number ? strsignal(signal_number) : "no reader";
        const std::string out = dir.file("out-" + std::to_string(signal_number) + ".avi");
        const ProcessResult r = testsupport::run_process_signalled(
            {testsupport::build_dir() + "/vnt-host", "--defaults", "--no-save", "--frames", signal_number ? "600" : "20",
             in, out},
            "vnt-host: frame 1 of", signal_number);
        ASSERT_EQ(r.signal, 0) << what << ": ended by signal " << r.signal;
        if (signal_number == 0) {
            EXPECT_EQ(r.exit_code, 0) << what;
            EXPECT_EQ(testsupport::ffmpeg_decoded_frames(out), 20) << what;
            continue;
        }
        EXPECT_EQ(r.exit_code, 1) << what << ": " << r.err;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.err, m, std::regex("vnt-host: ([0-9]+) of 600 frames written before the stop")))
            << what << ": " << r.err;
        EXPECT_EQ(testsupport::ffprobe_complaints(out), "") << what;
        EXPECT_EQ(testsupport::ffmpeg_decoded_frames(out), std::stoi(m[1])) << what;
    }
}

}  // namespace
