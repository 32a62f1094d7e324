// The AVI source over the platform's AVIFile reader, on clips made by ffmpeg.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "console/frame_source.h"
#include "tests/support/support.h"

namespace {

using testsupport::make_clip;

class AviSourceTest : public ::testing::Test {
protected:
    void SetUp() override { AVIFileInit(); }
    void TearDown() override {
        frame_source_close(frames);
        AVIFileExit();
    }

    // Opens path, returning what the source printed on standard error.
    std::string open(const std::string& path, int expected_result) {
        testing::internal::CaptureStderr();
        int result = frame_source_open(avi_source_ops, path.c_str(), frames);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, expected_result) << err;
        return err;
    }

    // The frames ffmpeg decodes from path as top-down BGR rows.
    std::string reference_frames(const std::string& path) {
        const std::string raw = dir.file("reference.bgr");
        EXPECT_TRUE(testsupport::ffmpeg({"-i", path, "-map", "0:v:0", "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "bgr24", raw}));
        return testsupport::read_file(raw);
    }

    // Mean difference of a byte between the delivered bottom-up picture and
    // the reference's frame n (read the wrong way up when flipped is set).
    static double mean_difference(const uint8_t* pixels, const std::string& reference, int n, int width,
                                  int height, bool flipped = false) {
        const size_t row = static_cast<size_t>(width) * 3;
        const size_t frame = row * height;
        double total = 0;
        for (int y = 0; y < height; ++y) {
            const auto* want = reinterpret_cast<const uint8_t*>(reference.data()) + n * frame + y * row;
            const uint8_t* got = pixels + (flipped ? y : height - 1 - y) * row;
            for (size_t i = 0; i < row; ++i) total += std::abs(int(want[i]) - int(got[i]));
        }
        return total / frame;
    }

    testsupport::TempDir dir;
    FrameSource frames{};
};

TEST_F(AviSourceTest, MissingFileAndFileWithoutVideoSayWhy) {
    const std::string missing = dir.file("missing.avi");
    EXPECT_EQ(open(missing, 0), "ERROR - Can't open " + missing + "\n");

    const std::string audio = dir.file("audio.avi");
    ASSERT_TRUE(testsupport::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=440:duration=1", "-c:a", "pcm_s16le", audio}));
    EXPECT_EQ(open(audio, 0), "ERROR - " + audio + " has no VIDEO stream\n");
    EXPECT_EQ(frames.ops, nullptr);
    EXPECT_EQ(frames.self, nullptr);
}

TEST_F(AviSourceTest, RawFramesComeInOrderFromFrameZeroAfterTheAudioStream) {
    const std::string clip = dir.file("raw.avi");
    // Audio first, so the video stream is not stream 0.
    ASSERT_TRUE(testsupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-f", "lavfi", "-i",
                                     "sine=frequency=440", "-map", "1:a", "-map", "0:v", "-frames:v", "6", "-t",
                                     "0.24", "-c:v", "rawvideo", "-pix_fmt", "bgr24", "-c:a", "pcm_s16le", clip}));
    ASSERT_EQ(open(clip, 1), "");
    EXPECT_EQ(frames.frame_count, 6u);
    ASSERT_NE(frames.format, nullptr);
    EXPECT_EQ(frames.format->biWidth, 96);
    EXPECT_EQ(frames.format->biHeight, 64);
    EXPECT_EQ(frames.format->biBitCount, 24);
    EXPECT_EQ(frames.info->fccType, streamtypeVIDEO);
    EXPECT_EQ(frames.info->dwRate * 1000 / frames.info->dwScale, 25000u);

    const std::string reference = reference_frames(clip);
    ASSERT_EQ(reference.size(), 96u * 64 * 3 * 6);
    const void* pixels = nullptr;
    const BITMAPINFOHEADER* header = nullptr;
    for (int n = 0; n < 6; ++n) {
        ASSERT_EQ(frame_source_next(frames, &pixels, &header), 1) << n;
        EXPECT_EQ(static_cast<const uint8_t*>(pixels), reinterpret_cast<const uint8_t*>(header) + header->biSize);
        EXPECT_EQ(mean_difference(static_cast<const uint8_t*>(pixels), reference, n, 96, 64), 0.0) << "frame " << n;
    }
    EXPECT_EQ(frame_source_next(frames, &pixels, &header), 0) << "no frame after the last";
    EXPECT_EQ(frame_source_close(frames), 1);
}

TEST_F(AviSourceTest, CompressedFramesAreDecoded) {
    const std::string clip = dir.file("mjpeg.avi");
    ASSERT_TRUE(make_clip(clip, "testsrc2=size=128x96:rate=30", 4, {"-c:v", "mjpeg", "-q:v", "2"}));
    ASSERT_EQ(open(clip, 1), "");
    EXPECT_EQ(frames.frame_count, 4u);
    ASSERT_NE(frames.format, nullptr);
    EXPECT_EQ(frames.format->biBitCount, 24);
    EXPECT_EQ(frames.format->biCompression, BI_RGB);
    const std::string reference = reference_frames(clip);
    const void* pixels = nullptr;
    const BITMAPINFOHEADER* header = nullptr;
    for (int n = 0; n < 4; ++n) {
        ASSERT_EQ(frame_source_next(frames, &pixels, &header), 1);
        // Colour conversions may round differently, but the picture is the same way up.
        const auto* bytes = static_cast<const uint8_t*>(pixels);
        const double difference = mean_difference(bytes, reference, n, 128, 96);
        EXPECT_LT(difference, 4.0) << n;
        EXPECT_GT(mean_difference(bytes, reference, n, 128, 96, true), difference + 10.0) << n;
    }
}

}  // namespace
