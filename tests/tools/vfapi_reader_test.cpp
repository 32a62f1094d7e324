// The libavformat reader plug-in, called as twopass calls it: description of
// the file, and pictures by frame number in any order.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "console/vfapi.h"
#include "tests/support/support.h"

namespace {

class VfapiReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        library = dlopen((testsupport::build_dir() + "/vfapi-reader.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto get = reinterpret_cast<VfapiGetPluginFunc>(dlsym(library, "vfGetPluginFunc"));
        ASSERT_NE(get, nullptr);
        table.dwSize = sizeof table;
        ASSERT_EQ(get(&table), 0);
    }
    void TearDown() override {
        if (handle) table.CloseInput(handle);
        if (library) dlclose(library);
    }

    // Reads frame n as a bottom-up picture into picture.
    HRESULT read(uint64_t n, std::vector<uint8_t>& picture, int width, int height) {
        picture.assign(static_cast<size_t>(width) * height * 3, 0);
        VfapiVideoRead request{};
        request.dwSize = sizeof request;
        request.dwFrameNumberL = static_cast<DWORD>(n);
        request.dwFrameNumberH = static_cast<DWORD>(n >> 32);
        request.lpData = picture.data() + static_cast<size_t>(height - 1) * width * 3;
        request.lPitch = -width * 3;
        return table.ReadData(handle, kVfapiStreamVideo, &request);
    }

    VfapiVideoInfo open_video(const std::string& path) {
        VfapiVideoInfo video{};
        video.dwSize = sizeof video;
        if (table.OpenInput(path.c_str(), &handle) == 0) table.QueryStreamInfo(handle, kVfapiStreamVideo, &video);
        return video;
    }

    void* library = nullptr;
    VfapiFunctionTable table{};
    VfapiHandle handle = 0;
    testsupport::TempDir dir;
};

TEST_F(VfapiReaderTest, DescribesTheFileAndReadsFramesInAnyOrder) {
    const std::string clip = dir.file("clip.mkv");
    // Key frames every 4 frames, so that going back means a seek and decoding on.
    ASSERT_TRUE(testsupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=30000/1001", "-f", "lavfi",
                                     "-i", "sine", "-frames:v", "20", "-t", "0.7", "-c:v", "mpeg4", "-g", "4",
                                     "-q:v", "2", "-c:a", "pcm_s16le", clip}));
    const std::string raw = dir.file("frames.bgr");
    ASSERT_TRUE(testsupport::ffmpeg({"-i", clip, "-map", "0:v", "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "bgr24", raw}));
    const std::string reference = testsupport::read_file(raw);
    const size_t frame_size = 96 * 64 * 3;
    ASSERT_EQ(reference.size(), frame_size * 20);

    ASSERT_EQ(table.OpenInput(clip.c_str(), &handle), 0);
    VfapiFileInfo file{sizeof file, 0};
    EXPECT_EQ(table.QueryFileInfo(handle, &file), 0);
    EXPECT_EQ(file.dwStreamFlags, kVfapiHasVideo | kVfapiHasAudio);
    VfapiVideoInfo video{};
    video.dwSize = sizeof video;
    EXPECT_EQ(table.QueryStreamInfo(handle, kVfapiStreamVideo, &video), 0);
    EXPECT_EQ(video.dwFrameWidth, 96u);
    EXPECT_EQ(video.dwFrameHeight, 64u);
    EXPECT_EQ(video.dwPixelBits, 24u);
    EXPECT_EQ(video.dwFrameRate, 30000u);
    EXPECT_EQ(video.dwFrameScale, 1001u);
    EXPECT_EQ(video.dwFrameCountH, 0u);
    EXPECT_EQ(video.dwFrameCountL, 20u) << "Matroska gives a duration, not a count: the packets are counted";

    std::vector<uint8_t> picture;
    for (int n : {0, 1, 2, 9, 3, 17, 19, 0, 6}) {
        ASSERT_EQ(read(n, picture, 96, 64), 0) << "frame " << n;
        // Mean difference against every reference frame: the one asked for
        // must be by far the closest (another scaler rounds differently).
        std::vector<double> mean(20, 0.0);
        for (int f = 0; f < 20; ++f) {
            for (int y = 0; y < 64; ++y) {
                const auto* want = reinterpret_cast<const uint8_t*>(reference.data()) + f * frame_size + y * 96 * 3;
                const uint8_t* got = picture.data() + (63 - y) * 96 * 3;
                for (int i = 0; i < 96 * 3; ++i) mean[f] += std::abs(int(want[i]) - int(got[i]));
            }
            mean[f] /= frame_size;
        }
        EXPECT_LT(mean[n], 2.0) << "frame " << n;
        for (int f = 0; f < 20; ++f) {
            if (f == n) continue;
            EXPECT_GT(mean[f], mean[n] + 1.0) << "frame " << n << " looks like frame " << f;
        }
    }
    EXPECT_NE(read(20, picture, 96, 64), 0) << "past the end";
    EXPECT_NE(read(1ull << 32, picture, 96, 64), 0);
    EXPECT_EQ(read(5, picture, 96, 64), 0) << "still readable after a failed read";
}

TEST_F(VfapiReaderTest, CountsFramesAndRefusesWhatItCantRead) {
    const std::string clip = dir.file("clip.y4m");
    ASSERT_TRUE(testsupport::make_clip(clip, "testsrc2=size=64x48:rate=25", 7, {"-pix_fmt", "yuv420p"}));
    ASSERT_EQ(table.OpenInput(clip.c_str(), &handle), 0);
    VfapiVideoInfo video{};
    video.dwSize = sizeof video;
    table.QueryStreamInfo(handle, kVfapiStreamVideo, &video);
    EXPECT_EQ(video.dwFrameCountL, 7u);
    EXPECT_EQ(video.dwFrameRate * 1.0 / video.dwFrameScale, 25.0);
    table.CloseInput(handle);
    handle = 0;

    const std::string text = dir.file("notes.txt");
    std::ofstream(text) << "hello\n";
    EXPECT_NE(table.OpenInput(text.c_str(), &handle), 0);
    EXPECT_EQ(handle, 0u);
    EXPECT_NE(table.OpenInput(dir.file("missing.mp4").c_str(), &handle), 0);

    const std::string song = dir.file("song.wav");
    ASSERT_TRUE(testsupport::ffmpeg({"-f", "lavfi", "-i", "sine=duration=0.5", song}));
    ASSERT_EQ(table.OpenInput(song.c_str(), &handle), 0) << "a file of sound alone opens";
    VfapiFileInfo file{sizeof file, 0};
    table.QueryFileInfo(handle, &file);
    EXPECT_EQ(file.dwStreamFlags, kVfapiHasAudio);
    std::vector<uint8_t> picture;
    EXPECT_NE(read(0, picture, 8, 8), 0);
}

TEST_F(VfapiReaderTest, CountsEveryFrameOfStreamsWithoutAFixedRateOrAnyIndex) {
    struct Case {
        const char* name;
        int frames;
        std::vector<std::string> args;  // after the lavfi input
    };
    const Case cases[] = {
        // Time stamps that drift apart: a count from the duration misses frames.
        {"vfr.mkv", 100, {"-vf", "setpts=(N+N*N/50)/25/TB", "-fps_mode", "passthrough", "-c:v", "ffv1"}},
        // A raw stream has neither a duration nor a count.
        {"raw.h264", 30, {"-c:v", "libx264", "-preset", "ultrafast", "-bf", "2", "-f", "h264"}},
        {"clip.mpg", 25, {"-c:v", "mpeg2video", "-bf", "2", "-f", "mpeg"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string clip = dir.file(c.name);
        std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v",
                                         std::to_string(c.frames)};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(clip);
        ASSERT_TRUE(testsupport::ffmpeg(args));
        VfapiVideoInfo video = open_video(clip);
        ASSERT_NE(handle, 0u);
        EXPECT_EQ(video.dwFrameCountL, static_cast<DWORD>(c.frames));
        EXPECT_EQ(video.dwFrameCountH, 0u);
        std::vector<uint8_t> picture;
        for (int n = 0; n < c.frames; ++n) ASSERT_EQ(read(n, picture, 64, 48), 0) << "frame " << n;
        EXPECT_NE(read(c.frames, picture, 64, 48), 0) << "past the end";
        // Back again by seeking: the last frames and the first.
        EXPECT_EQ(read(c.frames - 1, picture, 64, 48), 0);
        EXPECT_EQ(read(0, picture, 64, 48), 0);
        table.CloseInput(handle);
        handle = 0;
    }
}

// The caller's frame holds exactly the picture: its last byte is followed by a
// page that can't be touched. Any write past it kills the reading process.
TEST_F(VfapiReaderTest, WritesNothingPastTheCallersFrameAtAnySize) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // the decoder runs threads
    const long page = sysconf(_SC_PAGESIZE);
    for (auto [width, height] : {std::pair{2, 2}, {4, 4}, {6, 2}, {8, 8}, {10, 10}, {426, 240}}) {
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        SCOPED_TRACE(size);
        const std::string clip = dir.file(size + ".mkv");
        ASSERT_TRUE(testsupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=25", "-frames:v", "3",
                                         "-c:v", "ffv1", clip}));
        ASSERT_EQ(open_video(clip).dwFrameWidth, static_cast<DWORD>(width));
        for (int upward : {1, 0}) {
            const size_t bytes = static_cast<size_t>(width) * height * 3;
            const size_t pages = (bytes + page - 1) / page;
            auto* block = static_cast<uint8_t*>(mmap(nullptr, (pages + 1) * page, PROT_READ | PROT_WRITE,
                                                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
            ASSERT_NE(block, MAP_FAILED);
            ASSERT_EQ(mprotect(block + pages * page, page, PROT_NONE), 0);
            uint8_t* frame = block + pages * page - bytes;
            VfapiVideoRead request{};
            request.dwSize = sizeof request;
            // twopass's bottom-up frame (top row last, rows going down), or a top-down one.
            request.lpData = upward ? frame + static_cast<size_t>(height - 1) * width * 3 : frame;
            request.lPitch = upward ? -width * 3 : width * 3;
            EXPECT_EXIT(
                {
                    for (DWORD n = 0; n < 3; ++n) {
                        request.dwFrameNumberL = n;
                        if (table.ReadData(handle, kVfapiStreamVideo, &request) != 0) std::_Exit(2);
                    }
                    std::_Exit(0);
                },
                ::testing::ExitedWithCode(0), "")
                << (upward ? "bottom-up" : "top-down");
            munmap(block, (pages + 1) * page);
        }
        table.CloseInput(handle);
        handle = 0;
    }
}

}  // namespace
