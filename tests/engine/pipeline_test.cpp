// The frame pipeline against a scripted codec and the real AVI writer: the
// fixed order of decisions, the decoder kept in step with what is written,
// the log lines, failures, and no allocation per frame.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "engine/pipeline.h"
#include "tests/engine/scripted_run.h"
#include "tests/support/alloc_counter.h"
#include "tests/support/support.h"

using testsupport::CompressCall;
using testsupport::DecompressCall;
using enginetest::kCodec;
using enginetest::put_file;

namespace {

class PipelineTest : public enginetest::ScriptedRun {};

}  // namespace

TEST_F(PipelineTest, KeyFrameThenCleanDeltaFrames) {
    open();
    for (int n = 0; n < 3; ++n) ASSERT_EQ(process(n), 1);
    ASSERT_EQ(close(), 1);

    EXPECT_EQ(log_text(), "[" + path +
                              "]\nrate: 3000, key: 8, cc: 75, pixel: 28, diff: 9\n frame   size  key\n"
                              "     0   1000  ***\n     1    100  \n     2    100  \n");
    EXPECT_EQ(packets(), "1000,K_\n100,__\n100,__\n");

    // The key frame is not verified; the decoder starts on it. Each delta
    // frame is decoded from the compressed buffer into the decode buffer, and
    // each frame's format carries its own size, as a player's does.
    const std::vector<UINT> decoder_messages = codec.sequence(ICMODE_DECOMPRESS);
    const std::vector<UINT> expected = {DRV_OPEN,      ICM_DECOMPRESS_BEGIN, ICM_DECOMPRESS_BEGIN, ICM_DECOMPRESS,
                                        ICM_DECOMPRESS, ICM_DECOMPRESS,      ICM_DECOMPRESS_END,   DRV_CLOSE};
    EXPECT_EQ(decoder_messages, expected);
    ASSERT_EQ(codec.decompresses.size(), 3u);
    EXPECT_EQ(codec.decompresses[0].flags, 0u);
    EXPECT_EQ(codec.decompresses[0].data_tag, 0);
    EXPECT_EQ(codec.decompresses[0].input.biSizeImage, 1000u);
    for (int i = 1; i < 3; ++i) {
        const DecompressCall& d = codec.decompresses[i];
        EXPECT_EQ(d.flags, ICDECOMPRESS_NOTKEYFRAME);
        EXPECT_EQ(d.data_tag, i);
        EXPECT_EQ(d.input.biCompression, kCodec);
        EXPECT_EQ(d.input.biSizeImage, 100u);
        EXPECT_EQ(d.output.biCompression, BI_RGB);
    }
}

TEST_F(PipelineTest, BlockNoiseRedoesTheFrameAsKeyFrame) {
    format = make_rgb24_format(320, 240);  // budgets of 14985 and 74925 bytes, not cut to the frame
    info = make_video_stream_info(320, 240, 25, 1);
    settings.analyse_enabled = 1;
    noisy = {2};
    open();
    const uint32_t key_budget = w.compressor.key_budget;
    ASSERT_EQ(key_budget, 74925u);
    char previous_dir[4096];
    ASSERT_NE(getcwd(previous_dir, sizeof previous_dir), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);  // the picture goes to the current directory
    int results[4];
    for (int n = 0; n < 4; ++n) results[n] = process(n);
    ASSERT_EQ(chdir(previous_dir), 0);
    for (int r : results) ASSERT_EQ(r, 1);
    ASSERT_EQ(close(), 1);

    ASSERT_EQ(codec.compresses.size(), 5u);
    const CompressCall& redo = codec.compresses[3];
    EXPECT_TRUE(redo.flags & ICCOMPRESS_KEYFRAME);
    EXPECT_EQ(redo.frame_num, 0);
    EXPECT_EQ(redo.frame_size, key_budget);
    EXPECT_FALSE(redo.has_prev);
    EXPECT_EQ(redo.source_tag, 2);
    EXPECT_EQ(codec.compresses[4].frame_num, 1);  // counted from the redone key frame
    EXPECT_EQ(codec.compresses[4].prev_tag, 2);

    EXPECT_EQ(log_frames(), "     0   1000  ***\n     1    100  \n     2   1000  *** - bad block (X:  16, Y: 224)\n"
                            "     3    100  \n");
    EXPECT_EQ(packets(), "1000,K_\n100,__\n1000,K_\n100,__\n");
    // The decoder saw the rejected delta frame, then starts again on the key frame written.
    ASSERT_NE(decode_of(2, true), nullptr);
    ASSERT_NE(decode_of(3, false), nullptr);
    EXPECT_LT(decode_of(2, true), decode_of(3, false));
    EXPECT_EQ(codec.of(ICM_DECOMPRESS_BEGIN).size(), 3u);  // open, frame 0, frame 2

    const std::string picture = testsupport::read_file(dir.file("00000002.bmp"));
    EXPECT_EQ(picture.size(), 178614u);
    EXPECT_FALSE(testsupport::file_exists(dir.file("00000001.bmp")));
}

TEST_F(PipelineTest, SceneChangeAtTheThresholdAndOneByteAbove) {
    format = make_rgb24_format(320, 240);
    info = make_video_stream_info(320, 240, 25, 1);
    settings.scene_level = 1;
    // Delta frames of 4800 bytes (the threshold) and 4801; frame 2 would also show block noise.
    codec.size_answer = [](const CompressCall& c) -> DWORD {
        if (c.flags & ICCOMPRESS_KEYFRAME) return 1000;
        return c.index == 1 ? 4800 : 4801;
    };
    noisy = {2};
    open();
    EXPECT_EQ(w.scene_threshold, 4800);
    for (int n = 0; n < 3; ++n) ASSERT_EQ(process(n), 1);
    ASSERT_EQ(close(), 1);
    EXPECT_EQ(log_frames(), "     0   1000  ***\n     1   4800  \n     2   1000  *** - seen changed (size   4801)\n");
    EXPECT_EQ(packets(), "1000,K_\n4800,__\n1000,K_\n");
    // The rejected frame is never decoded for verification, only its redo after the restart.
    EXPECT_EQ(decode_of(2, true), nullptr);
    EXPECT_NE(decode_of(3, false), nullptr);
    EXPECT_TRUE(codec.compresses[3].flags & ICCOMPRESS_KEYFRAME);
}

TEST_F(PipelineTest, SceneDetectionOffKeepsLargeDeltaFrames) {
    settings.scene_level = 0;
    codec.size_answer = [](const CompressCall& c) -> DWORD { return (c.flags & ICCOMPRESS_KEYFRAME) ? 1000 : 9000; };
    open();
    for (int n = 0; n < 3; ++n) ASSERT_EQ(process(n), 1);
    ASSERT_EQ(close(), 1);
    EXPECT_EQ(log_frames(), "     0   1000  ***\n     1   9000  \n     2   9000  \n");
}

TEST_F(PipelineTest, NegativeSceneLevelNeverTriggers) {
    settings.scene_level = -1;
    codec.size_answer = [](const CompressCall& c) -> DWORD { return (c.flags & ICCOMPRESS_KEYFRAME) ? 1000 : 9000; };
    open();
    EXPECT_EQ(w.scene_threshold, -192);
    for (int n = 0; n < 2; ++n) ASSERT_EQ(process(n), 1);
    ASSERT_EQ(close(), 1);
    EXPECT_EQ(log_frames(), "     0   1000  ***\n     1   9000  \n");
}

TEST_F(PipelineTest, EveryWrittenKeyFrameRestartsTheDecoder) {
    format = make_rgb24_format(64, 48);
    settings.scene_level = 1;  // threshold 64 * 48 / 16 = 192
    settings.key_seconds = 1;  // key interval 26 at 25 fps
    // Compression 5 is a key frame the codec chose; 8 is too large (scene change).
    codec.key_answer = [](const CompressCall& c) { return (c.flags & ICCOMPRESS_KEYFRAME) || c.index == 5; };
    codec.size_answer = [](const CompressCall& c) -> DWORD {
        if (c.flags & ICCOMPRESS_KEYFRAME || c.index == 5) return 1000;
        return c.index == 8 ? 500 : 100;
    };
    noisy = {12};
    open();
    for (int n = 0; n < 45; ++n) {
        if (n == 15) compressor_force_key(w.compressor);  // as the plug-in does for a host's key request
        ASSERT_EQ(process(n), 1) << n;
    }
    ASSERT_EQ(close(), 1);

    // Every ICM_DECOMPRESS_BEGIN after the one at open is followed by the
    // decode of exactly the key frame that was then written.
    const auto& m = codec.messages;
    std::vector<int> restarted_on;
    size_t decode = 0;
    bool after_begin = false;
    int begins = 0;
    for (const auto& message : m) {
        if (message.mode != ICMODE_DECOMPRESS) continue;
        if (message.msg == ICM_DECOMPRESS_BEGIN) {
            after_begin = ++begins > 1;
        } else if (message.msg == ICM_DECOMPRESS) {
            const DecompressCall& d = codec.decompresses[decode++];
            if (after_begin) {
                EXPECT_EQ(d.flags, 0u);
                restarted_on.push_back(d.data_tag);
            } else {
                EXPECT_EQ(d.flags, ICDECOMPRESS_NOTKEYFRAME);
            }
            after_begin = false;
        }
    }
    std::vector<int> written_keys;
    for (const auto& c : codec.compresses)
        if (c.answered_key) written_keys.push_back(c.index);
    EXPECT_EQ(restarted_on, written_keys);

    // Frames 0 (first), 5 (the codec's own), 8 (scene change), 11 (noise),
    // 15 (forced), and the interval key 26 frames after the forced one.
    std::string key_frames;
    const std::string lines = packets();
    int n = 0;
    for (size_t pos = 0; pos < lines.size(); pos = lines.find('\n', pos) + 1, ++n)
        if (lines.compare(pos, 6, "1000,K") == 0) key_frames += std::to_string(n) + " ";
    EXPECT_EQ(n, 45);
    EXPECT_EQ(key_frames, "0 5 8 11 15 41 ");
}

TEST_F(PipelineTest, CompressionFailureStopsAndKeepsTheFileValid) {
    codec.result_answer = [](const CompressCall& c) {
        return static_cast<DWORD>(c.index == 3 ? ICERR_INTERNAL : ICERR_OK);
    };
    open();
    for (int n = 0; n < 3; ++n) ASSERT_EQ(process(n), 1);
    EXPECT_EQ(process(3), 0);
    EXPECT_EQ(w.failure, OutputFailure::compress);
    ASSERT_EQ(close(), 1);
    EXPECT_EQ(packets(), "1000,K_\n100,__\n100,__\n");
    auto warnings = testsupport::run_process({"ffprobe", "-v", "warning", path});
    EXPECT_EQ(warnings.exit_code, 0);
    EXPECT_EQ(warnings.err.find("arning"), std::string::npos) << warnings.err;
    EXPECT_EQ(log_frames(), "     0   1000  ***\n     1    100  \n     2    100  \n");
}

TEST_F(PipelineTest, FailedRedoStopsToo) {
    noisy = {1};
    codec.result_answer = [](const CompressCall& c) {
        return static_cast<DWORD>(c.index == 2 ? ICERR_INTERNAL : ICERR_OK);
    };
    open();
    ASSERT_EQ(process(0), 1);
    EXPECT_EQ(process(1), 0);
    EXPECT_EQ(w.failure, OutputFailure::compress);
    ASSERT_EQ(close(), 1);
    EXPECT_EQ(packets(), "1000,K_\n");
}

TEST_F(PipelineTest, FrameOfAnotherLayoutIsRefused) {
    open();
    BITMAPINFOHEADER wider = make_rgb24_format(128, 48);
    std::vector<uint8_t> big(wider.biSizeImage, 0);
    EXPECT_EQ(pipeline_process_frame(w, settings, &log, 0, &wider, big.data()), 0);
    EXPECT_EQ(w.failure, OutputFailure::bad_format);
    EXPECT_TRUE(codec.compresses.empty());
}

TEST_F(PipelineTest, RunsWithoutALog) {
    settings.log_enabled = 0;
    noisy = {1};
    open();
    frame[0] = 0;
    EXPECT_EQ(pipeline_process_frame(w, settings, nullptr, 0, &format, frame.data()), 1);
    EncodeLog not_created{};  // as log_open leaves it when the file can't be created
    EXPECT_EQ(pipeline_process_frame(w, settings, &not_created, 1, &format, frame.data()), 1);
    EXPECT_EQ(pipeline_process_frame(w, settings, &not_created, 2, &format, frame.data()), 1);
    ASSERT_EQ(close(), 1);
    EXPECT_EQ(packets(), "1000,K_\n1000,K_\n100,__\n");
}

TEST_F(PipelineTest, WriteFailureIsReported) {
    // A file that takes nothing: every write fails with "no space left".
    path = "/dev/full";
    settings.log_enabled = 0;
    frame.assign(format.biSizeImage, 0x80);
    if (output_open(path.c_str(), info, format, settings, w) != 1) {
        EXPECT_EQ(w.failure, OutputFailure::file_open);  // refused at once: also an honest answer
        closed = true;
        return;
    }
    int written = 0;
    for (int n = 0; n < 2000 && process(n) == 1; ++n) ++written;
    EXPECT_LT(written, 2000);
    EXPECT_EQ(w.failure, OutputFailure::write);
    EXPECT_EQ(close(), 0);  // completing the file failed as well
}

TEST_F(PipelineTest, NoAllocationPerFrame) {
    if (!testsupport::allocation_counting_works()) GTEST_SKIP() << "allocations are not counted in this build";
    settings.scene_level = 1;
    settings.key_seconds = 1;
    codec.size_answer = [](const CompressCall& c) -> DWORD {
        if (c.flags & ICCOMPRESS_KEYFRAME) return 1000;
        return c.index % 7 == 3 ? 500 : 100;  // some scene changes
    };
    for (int i = 0; i < 2000; i += 11) noisy.insert(i);  // and some noisy frames
    codec.reserve(2000);
    open();
    for (int n = 0; n < 20; ++n) ASSERT_EQ(process(n), 1);  // warm-up: stdio buffers, first index blocks

    constexpr int kFrames = 600;
    testsupport::allocation_counting(true);
    int ok = 1;
    for (int n = 20; n < 20 + kFrames && ok; ++n) ok = process(n);
    testsupport::allocation_counting(false);
    const long allocations = testsupport::allocation_count();
    ASSERT_EQ(ok, 1);
    // What the file's own index needs as it grows is the file writer's
    // business; a single allocation per frame anywhere would show 600 here.
    EXPECT_LT(allocations, kFrames / 20) << allocations << " allocations over " << kFrames << " frames";
    RecordProperty("allocations", static_cast<int>(allocations));
    std::printf("allocations over %d frames: %ld\n", kFrames, allocations);
}

TEST(EncodeLogName, ReplacesTheLastComponentsExtension) {
    struct Case {
        const char* path;
        const char* name;
    };
    for (const Case& c : {Case{"out.avi", "out.log"}, Case{"D:\\movie\\out.avi", "D:\\movie\\out.log"},
                          Case{"a\\b.c\\d", "a\\b.c\\d.log"}, Case{"my.clips/take1", "my.clips/take1.log"},
                          Case{"/tmp/x.y/clip.tar.avi", "/tmp/x.y/clip.tar.log"}, Case{"noext", "noext.log"},
                          Case{".avi", ".avi.log"}, Case{"", ".log"}}) {
        char* name = path_replace_extension(c.path, ".log");
        ASSERT_NE(name, nullptr);
        EXPECT_STREQ(name, c.name) << c.path;
        std::free(name);
    }
}

TEST(EncodeLogName, LogThatCannotBeCreatedIsNullWithItsName) {
    testsupport::TempDir dir;
    EncodeSettings settings{};
    settings_set_defaults(settings);
    const std::string output = dir.file("missing/out.avi");
    EncodeLog log = log_open(output.c_str(), settings);
    EXPECT_EQ(log.file, nullptr);
    ASSERT_NE(log.name, nullptr);
    EXPECT_EQ(std::string(log.name), dir.file("missing/out.log"));
    log_close(log);
    EXPECT_EQ(log.name, nullptr);
    log_close(log);  // twice is harmless
}

// As the writer treats its output: a second run's log of the same name is
// not created while the first is open, and an old log is replaced by a new
// file, not cut short under its reader.
TEST(EncodeLogName, ASecondLogOfTheSameNameIsRefusedAndTheOldOneStaysWhole) {
    testsupport::TempDir dir;
    EncodeSettings settings{};
    settings_set_defaults(settings);
    const std::string output = dir.file("out.avi"), name = dir.file("out.log");
    { std::ofstream(name) << "the old log\n"; }
    std::ifstream reader(name);
    EncodeLog first = log_open(output.c_str(), settings);
    ASSERT_NE(first.file, nullptr);
    EncodeLog second = log_open(output.c_str(), settings);
    EXPECT_EQ(second.file, nullptr);
    ASSERT_NE(second.name, nullptr);
    EXPECT_EQ(std::string(second.name), name);
    log_close(second);
    log_close(first);
    std::string line;
    EXPECT_TRUE(std::getline(reader, line));
    EXPECT_EQ(line, "the old log");
    EXPECT_EQ(testsupport::read_file(name).rfind("[" + output + "]\n", 0), 0u);
    EncodeLog third = log_open(output.c_str(), settings);
    EXPECT_NE(third.file, nullptr) << "a log closed can be written again";
    log_close(third);
}
