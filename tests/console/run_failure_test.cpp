// Runs that go wrong halfway: the driver says so, completes the file with the
// frames written so far, and ends with exit code 1.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "console/run_driver.h"
#include "engine/platform.h"
#include "tests/support/avi_probe.h"
#include "tests/support/scripted_driver.h"
#include "tests/support/support.h"

namespace {

using testsupport::ScopedScriptedCodec;
using testsupport::ScriptedCodec;

// Converts with `codec` installed for `fcc` and the console's settings
// otherwise; a failed run exits with its own code before the exit here.
[[noreturn]] void convert_with(ScriptedCodec& codec, DWORD fcc, const std::string& in, const std::string& out) {
    ScopedScriptedCodec installed(fcc, &codec);
    EncodeSettings settings;
    settings_set_defaults(settings);
    settings.codec = fcc;
    settings.progress_enabled = 0;
    settings_clamp(settings, kConsoleBitRateCeiling);
    AVIFileInit();
    run_conversion(in.c_str(), out.c_str(), settings);
    AVIFileExit();
    std::exit(0);
}

// Converts with the codec scripted to refuse its fourth compression.
void convert_with_failing_codec(const std::string& in, const std::string& out) {
    static ScriptedCodec codec;
    codec.result_answer = [](const testsupport::CompressCall& call) {
        return call.index == 3 ? static_cast<DWORD>(ICERR_ERROR) : static_cast<DWORD>(ICERR_OK);
    };
    convert_with(codec, mmioFOURCC('M', 'P', '4', '2'), in, out);
}

TEST(RunFailure, ACodecErrorEndsTheRunWithAMessageAndACompleteFile) {
    // Forked without re-running the test, so that the child writes into this test's folder.
    GTEST_FLAG_SET(death_test_style, "fast");
    testsupport::TempDir dir;
    const std::string in = dir.file("in.avi"), out = dir.file("out.avi");
    ASSERT_TRUE(testsupport::make_clip(in, "testsrc2=size=64x48:rate=25", 8, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
    EXPECT_EXIT(convert_with_failing_codec(in, out), testing::ExitedWithCode(1), "^ERROR - Can't compress frame 3\n$");
    // The codec's frames are not real MPEG-4, so only the file's structure is checked.
    EXPECT_EQ(testsupport::ffprobe_key_flags(out).size(), 3u);
    EXPECT_EQ(testsupport::ffprobe_stream_field(out, "nb_frames"), "3");
}

// A codec that refuses to open for compression is named before the driver's
// "Can't open" line, and no file is created.
void convert_with_uninstalled_codec(const std::string& in, const std::string& out) {
    static ScriptedCodec codec;
    codec.refuse_compress = true;
    convert_with(codec, mmioFOURCC('M', 'P', 'G', '4'), in, out);
}

TEST(RunFailure, ACodecThatDoesNotCompressIsNamedBeforeTheOutputLine) {
    GTEST_FLAG_SET(death_test_style, "fast");
    testsupport::TempDir dir;
    const std::string in = dir.file("in.avi"), out = dir.file("out.avi");
    ASSERT_TRUE(testsupport::make_clip(in, "testsrc2=size=64x48:rate=25", 2, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
    EXPECT_EXIT(convert_with_uninstalled_codec(in, out), testing::ExitedWithCode(1),
                testing::StrEq("ERROR - no installed codec compresses MPG4\nERROR - Can't open " + out + "\n"));
    EXPECT_TRUE(testsupport::read_file(out).empty());
}

// A codec that ran out of memory answers only that it failed; the C library's
// word for why (errno) is told after the driver's own line, once the file
// holds the frames before.
void convert_with_codec_out_of_memory(const std::string& in, const std::string& out) {
    static ScriptedCodec codec;
    codec.result_answer = [](const testsupport::CompressCall& call) {
        if (call.index != 3) return static_cast<DWORD>(ICERR_OK);
        errno = ENOMEM;
        return static_cast<DWORD>(ICERR_MEMORY);
    };
    convert_with(codec, mmioFOURCC('M', 'P', '4', '2'), in, out);
}

// The same when the verification decoder had no memory to open.
void convert_with_decoder_out_of_memory(const std::string& in, const std::string& out) {
    static ScriptedCodec codec;
    codec.refuse_decompress = true;
    codec.on_message = [](const testsupport::DriverMessage& m) {
        if (m.msg == DRV_OPEN && m.mode == ICMODE_DECOMPRESS) errno = ENOMEM;
    };
    convert_with(codec, mmioFOURCC('M', 'P', '4', '2'), in, out);
}

TEST(RunFailure, ACodecOutOfMemorySaysSo) {
    GTEST_FLAG_SET(death_test_style, "fast");
    testsupport::TempDir dir;
    const std::string in = dir.file("in.avi"), out = dir.file("out.avi");
    ASSERT_TRUE(testsupport::make_clip(in, "testsrc2=size=64x48:rate=25", 8, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
    EXPECT_EXIT(convert_with_codec_out_of_memory(in, out), testing::ExitedWithCode(1),
                testing::StrEq("ERROR - Can't compress frame 3\nERROR - not enough memory for the run\n"));
    EXPECT_EQ(testsupport::ffprobe_stream_field(out, "nb_frames"), "3");

    const std::string other = dir.file("other.avi");
    EXPECT_EXIT(convert_with_decoder_out_of_memory(in, other), testing::ExitedWithCode(1),
                testing::StrEq("ERROR - the codec can't decode MP42 for verification\n"
                               "ERROR - not enough memory for the run\nERROR - Can't open " + other + "\n"));
    EXPECT_FALSE(testsupport::file_exists(other));
}

}  // namespace
