#include "console/command_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

// Parses {"twopass", args...}; returns the index of the first file argument.
struct Parsed {
    int index;
    EncodeSettings settings;
};

Parsed parse(std::initializer_list<const char*> args) {
    std::vector<std::string> storage{"twopass"};
    for (const char* a : args) storage.emplace_back(a);
    std::vector<char*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    Parsed p{};
    p.index = parse_command_line(static_cast<int>(storage.size()), argv.data(), p.settings);
    return p;
}

EncodeSettings defaults() {
    EncodeSettings s;
    settings_set_defaults(s);
    return s;
}

constexpr DWORD fourcc(const char (&t)[5]) { return mmioFOURCC(t[0], t[1], t[2], t[3]); }

TEST(ParseCommandLine, DefaultsAndFileIndex) {
    const Parsed p = parse({"in.avi", "out.avi"});
    EXPECT_EQ(p.index, 1);
    const EncodeSettings d = defaults();
    EXPECT_EQ(p.settings.codec, fourcc("MP42"));
    EXPECT_EQ(p.settings.bit_rate, d.bit_rate);
    EXPECT_EQ(p.settings.progress_enabled, 1);
    EXPECT_EQ(parse({}).index, 1);
    EXPECT_EQ(parse({"-l", "-q"}).index, 3);               // all options
    EXPECT_EQ(parse({"-", "a", "b"}).index, 2);            // "-" alone is passed over
    EXPECT_EQ(parse({"a", "-q", "b"}).index, 1);           // parsing stops at the first file
    EXPECT_EQ(parse({"a", "-q", "b"}).settings.progress_enabled, 1);
}

TEST(ParseCommandLine, FlagsAloneAndGrouped) {
    const Parsed grouped = parse({"-lq", "a", "b"});
    const Parsed apart = parse({"-l", "-q", "a", "b"});
    for (const Parsed* p : {&grouped, &apart}) {
        EXPECT_EQ(p->settings.log_enabled, 1);
        EXPECT_EQ(p->settings.progress_enabled, 0);
        EXPECT_EQ(p->settings.analyse_enabled, 0);
    }
    EXPECT_EQ(grouped.index, 2);
    EXPECT_EQ(parse({"-b"}).settings.analyse_enabled, 1);
}

TEST(ParseCommandLine, NumericValuesJoinedOrSeparate) {
    EXPECT_EQ(parse({"-r2000"}).settings.bit_rate, 2000);
    EXPECT_EQ(parse({"-r", "2000"}).settings.bit_rate, 2000);
    const Parsed lr = parse({"-lr", "2000", "a", "b"});
    EXPECT_EQ(lr.settings.log_enabled, 1);
    EXPECT_EQ(lr.settings.bit_rate, 2000);
    EXPECT_EQ(lr.index, 3);
    // The rest of the argument is the value: q is not read as a flag.
    const Parsed rq = parse({"-rq", "a", "b"});
    EXPECT_EQ(rq.settings.bit_rate, 3000);
    EXPECT_EQ(rq.settings.progress_enabled, 1);
    EXPECT_EQ(rq.index, 2);

    const Parsed all = parse({"-k", "12", "-c50", "-d", "5", "-p30", "-s", "2"});
    EXPECT_EQ(all.settings.key_seconds, 12);
    EXPECT_EQ(all.settings.compression_control, 50);
    EXPECT_EQ(all.settings.diff_threshold, 5);
    EXPECT_EQ(all.settings.pixel_threshold, 30);
    EXPECT_EQ(all.settings.scene_level, 2);
}

TEST(ParseCommandLine, NumbersReadLikeScanf) {
    EXPECT_EQ(parse({"-r", "3000abc"}).settings.bit_rate, 3000);
    EXPECT_EQ(parse({"-r", "  +42"}).settings.bit_rate, 42);
    EXPECT_EQ(parse({"-r", "-5"}).settings.bit_rate, -5);  // a value, not an option
    EXPECT_EQ(parse({"-r", "abc"}).settings.bit_rate, 3000);
    EXPECT_EQ(parse({"-r", ""}).settings.bit_rate, 3000);
    EXPECT_EQ(parse({"-r", "100", "-r", "x"}).settings.bit_rate, 100);  // keeps the earlier option's value
    EXPECT_EQ(parse({"-r", "99999999999"}).settings.bit_rate, INT32_MAX);
    EXPECT_EQ(parse({"-r", "-99999999999"}).settings.bit_rate, INT32_MIN);
}

TEST(ParseCommandLine, AudioKeptOrAsMp3) {
    EXPECT_EQ(parse({"a", "b"}).settings.audio, kAudioOff);
    EXPECT_EQ(parse({"-a"}).settings.audio, kAudioCopy);
    EXPECT_EQ(parse({"-m", "192"}).settings.audio, 192);
    EXPECT_EQ(parse({"-m160"}).settings.audio, 160);
    EXPECT_EQ(parse({"-m", "0"}).settings.audio, 32);       // clamped
    EXPECT_EQ(parse({"-m", "999"}).settings.audio, 320);
    EXPECT_EQ(parse({"-m", "x"}).settings.audio, kAudioOff);  // no number: MP3 stays off
    EXPECT_EQ(parse({"-m", "x", "-a"}).settings.audio, kAudioCopy);
    EXPECT_EQ(parse({"-m", "128", "-a"}).settings.audio, 128);  // MP3 keeps the audio already
    EXPECT_EQ(parse({"-a", "-m", "128"}).settings.audio, 128);
    const Parsed aq = parse({"-aqm", "64", "in", "out"});
    EXPECT_EQ(aq.settings.audio, 64);
    EXPECT_EQ(aq.settings.progress_enabled, 0);
    EXPECT_EQ(aq.index, 3);
}

TEST(ParseCommandLine, CodecLetters) {
    EXPECT_EQ(parse({"-v3"}).settings.codec, fourcc("MP43"));
    EXPECT_EQ(parse({"-v", "3"}).settings.codec, fourcc("MP43"));
    EXPECT_EQ(parse({"-v", "MP43"}).settings.codec, fourcc("MP42"));  // only the M counts
    EXPECT_EQ(parse({"-v1"}).settings.codec, fourcc("MPG4"));
    EXPECT_EQ(parse({"-vl"}).settings.codec, fourcc("DIV3"));
    EXPECT_EQ(parse({"-vL"}).settings.codec, fourcc("DIV3"));
    EXPECT_EQ(parse({"-vf"}).settings.codec, fourcc("DIV4"));
    EXPECT_EQ(parse({"-vF"}).settings.codec, fourcc("DIV4"));
    EXPECT_EQ(parse({"-v1", "-v9"}).settings.codec, fourcc("MP42"));
    const Parsed v3q = parse({"-v3q", "a", "b"});
    EXPECT_EQ(v3q.settings.codec, fourcc("MP43"));
    EXPECT_EQ(v3q.settings.progress_enabled, 0);
    EXPECT_EQ(v3q.index, 2);
    const Parsed separate = parse({"-vq", "3", "a"});  // v takes q, then the 3 is a file
    EXPECT_EQ(separate.settings.codec, fourcc("MP42"));
    EXPECT_EQ(separate.settings.progress_enabled, 1);
    EXPECT_EQ(separate.index, 2);
}

TEST(ParseCommandLine, ValueLetterLastOnTheLineIsRejected) {
    for (const char* option : {"-r", "-k", "-c", "-d", "-p", "-s", "-v", "-lr", "-qv"}) {
        EXPECT_EXIT(parse({option}), ::testing::ExitedWithCode(1),
                    std::string("ERROR - Invalid option \"") + option[std::char_traits<char>::length(option) - 1] +
                        "\" specified\n")
            << option;
    }
}

TEST(PathBasename, EitherSeparatorButNotTheFirstCharacter) {
    EXPECT_STREQ(path_basename("C:\\tools\\twopass.exe"), "twopass.exe");
    EXPECT_STREQ(path_basename("/usr/local/bin/twopass"), "twopass");
    EXPECT_STREQ(path_basename("a/b\\c"), "c");
    EXPECT_STREQ(path_basename("twopass"), "twopass");
    EXPECT_STREQ(path_basename("\\twopass"), "\\twopass");
    EXPECT_STREQ(path_basename("/twopass"), "/twopass");
    EXPECT_STREQ(path_basename("dir/"), "");
    EXPECT_STREQ(path_basename(""), "");
}

}  // namespace
