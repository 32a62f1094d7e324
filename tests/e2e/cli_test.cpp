// The twopass program's answers before any conversion starts: texts on
// standard error, byte for byte, and exit codes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/support.h"

namespace {

const std::string kBanner =
    "twopass - automatic two-pass MPEG-4 compressor\n"
    "    by the twopass developers; provided as is, without any warranty\n"
    "\n"
    "USAGE: twopass [options] in.avi[/aup/tpr/.. ] out.avi\n";

const std::string kSummary =
    "options:\n"
    "  compressor configuration:\n"
    "    -v C  select codec,        default: 2 (1:MPG4,2:MP42,3:MP43,L:DIV3,F:DIV4)\n"
    "    -r N  bit rate,            default: 3000 kbps\n"
    "    -k N  key frame,           default: 8 sec\n"
    "    -c N  compression ctrl,    default: 75 %\n"
    "  block noise detector:\n"
    "    -d N  difference,          default:  9 (range: 4 - 64)\n"
    "    -p N  pixel,               default: 28 (range: 4 - 64)\n"
    "  application setting:\n"
    "    -s N  scene change detect, default: 0 (0:NO,1:HIGH,2:MID,3:LOW,.. )\n"
    "    -b    analyze bad block\n"
    "    -l    loging\n"
    "    -q    quiet\n"
    "    -a    keep audio (copied as it is)\n"
    "    -m N  keep audio as MP3, N kbps (32 - 320)\n"
    "    -h    print this message\n";

const std::string kFilesRequired = "\nERROR - input file & output file are required\n";

std::string invalid(char letter) {
    return std::string("ERROR - Invalid option \"") + letter + "\" specified\n" + kSummary;
}

testsupport::ProcessResult twopass(std::vector<std::string> args, const std::string& dir = "") {
    args.insert(args.begin(), testsupport::build_dir() + "/twopass");
    return testsupport::run_process(args, {}, dir);
}

void expect(const testsupport::ProcessResult& r, int code, const std::string& err) {
    EXPECT_EQ(r.exit_code, code);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, "");
}

TEST(TwopassCommandLine, MissingFiles) {
    expect(twopass({}), 1, kBanner + kSummary);
    expect(twopass({"in.avi"}), 1, kBanner + kSummary + kFilesRequired);
    expect(twopass({"-"}), 1, kBanner + kSummary + kFilesRequired);
    expect(twopass({"-lq", "in.avi"}), 1, kBanner + kSummary + kFilesRequired);
}

TEST(TwopassCommandLine, HelpEndsWithoutConverting) {
    testsupport::TempDir dir;
    const auto r = twopass({"-h", "in.avi", "out.avi"}, dir.path());
    expect(r, 0, kBanner + kSummary);
    EXPECT_FALSE(testsupport::file_exists(dir.file("out.avi")));
    // Flags before h are read first; h still ends the run with the banner.
    expect(twopass({"-lqh", "in.avi", "out.avi"}, dir.path()), 0, kBanner + kSummary);
}

TEST(TwopassCommandLine, InvalidLettersGiveTheSummaryOnly) {
    testsupport::TempDir dir;
    expect(twopass({"-x", "in.avi", "out.avi"}, dir.path()), 1, invalid('x'));
    expect(twopass({"-H", "in.avi", "out.avi"}, dir.path()), 1, invalid('H'));
    expect(twopass({"-lqx", "in.avi", "out.avi"}, dir.path()), 1, invalid('x'));  // after valid flags
    expect(twopass({"-v3Q", "in.avi", "out.avi"}, dir.path()), 1, invalid('Q'));   // after the codec letter
    expect(twopass({"-", "-b", "-z"}, dir.path()), 1, invalid('z'));
    EXPECT_FALSE(testsupport::file_exists(dir.file("out.avi")));
}

TEST(TwopassCommandLine, ValueLetterWithNothingAfterIt) {
    expect(twopass({"-r"}), 1, invalid('r'));
    expect(twopass({"-v"}), 1, invalid('v'));
    expect(twopass({"-q", "-lk"}), 1, invalid('k'));
    // Grouped letters that take their value inside the argument are fine.
    expect(twopass({"-rq"}), 1, kBanner + kSummary + kFilesRequired);
    expect(twopass({"-v3q"}), 1, kBanner + kSummary + kFilesRequired);
}

TEST(TwopassCommandLine, ValueTakesTheNextArgumentEvenWithADash) {
    // -r eats "-h", so no help: the files are still missing.
    expect(twopass({"-r", "-h", "in.avi"}), 1, kBanner + kSummary + kFilesRequired);
    expect(twopass({"-v", "-x", "in.avi"}), 1, kBanner + kSummary + kFilesRequired);
}

TEST(TwopassCommandLine, BannerNamesTheProgramWithoutItsFolder) {
    // bash's exec -a sets the program's own name, here a Windows-style path.
    const auto r = testsupport::run_process(
        {"bash", "-c", "exec -a 'C:\\tools\\tp.exe' \"$0\"", testsupport::build_dir() + "/twopass"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("USAGE: tp.exe [options]"), std::string::npos) << r.err;
}

// The input is always the second-to-last argument and the output the last;
// the run driver names the input it could not open.
TEST(TwopassCommandLine, LastTwoArgumentsAreInputAndOutput) {
    testsupport::TempDir dir;
    auto r = twopass({"-q", "first.avi", "second.avi", "third.avi"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Error - Can't open second.avi\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("first.avi"), std::string::npos) << r.err;
    // Options after the first file name are file names themselves.
    r = twopass({"in.avi", "out.avi", "-q"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Error - Can't open out.avi\n"), std::string::npos) << r.err;
    EXPECT_FALSE(testsupport::file_exists(dir.file("-q")));
}

}  // namespace
