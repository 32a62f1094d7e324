// The libavformat reader plug-in, called as twopass calls it: description of
// the file, and pictures by frame number in any order.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "console/vfapi.h"
#include "tests/support/avi_probe.h"
#include "tests/support/mp4_display.h"
#include "tests/support/pcm_reference.h"
#include "tests/support/support.h"

namespace {

// Every picture ffmpeg decodes from path, one per packet, through the filters
// vf: bottom-up bgr24 rows as the plug-in's test reads write them.
std::vector<std::string> decoded_pictures(const std::string& path, const std::string& vf, size_t frame_size) {
    testsupport::ProcessResult r =
        testsupport::run_process({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0", "-fps_mode",
                                  "passthrough", "-vf", vf + ",vflip", "-f", "rawvideo", "-pix_fmt", "bgr24", "-"});
    std::vector<std::string> frames;
    if (r.exit_code != 0 || frame_size == 0 || r.out.size() % frame_size != 0) return frames;
    for (size_t at = 0; at < r.out.size(); at += frame_size) frames.push_back(r.out.substr(at, frame_size));
    return frames;
}

// Mean difference per byte of two pictures of the same size.
double mean_difference(const std::vector<uint8_t>& picture, const std::string& want) {
    if (picture.size() != want.size() || want.empty()) return 255.0;
    double sum = 0;
    for (size_t i = 0; i < want.size(); ++i) sum += std::abs(int(picture[i]) - int(static_cast<uint8_t>(want[i])));
    return sum / static_cast<double>(want.size());
}

// The index of the reference picture closest to picture, or -1 when none is
// clearly closest (by a mean difference of 1 and under 2 itself: another
// scaler rounds differently).
int closest_picture(const std::vector<uint8_t>& picture, const std::vector<std::string>& references) {
    int best = -1;
    double best_mean = 255.0, second = 255.0;
    for (size_t i = 0; i < references.size(); ++i) {
        const double mean = mean_difference(picture, references[i]);
        if (mean < best_mean) {
            second = best_mean;
            best_mean = mean;
            best = static_cast<int>(i);
        } else if (mean < second) {
            second = mean;
        }
    }
    return best_mean < 2.0 && second > best_mean + 1.0 ? best : -1;
}

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

    // Reads count samples from position into samples (of block_align bytes
    // each): the count the plug-in says it wrote, or -1 when it fails.
    int64_t read_audio(uint64_t position, uint32_t count, std::vector<int16_t>& samples, uint32_t channels) {
        samples.assign(static_cast<size_t>(count) * channels, 0x5555);
        VfapiAudioRead request{};
        request.dwSize = sizeof request;
        request.dwSamplePosL = static_cast<DWORD>(position);
        request.dwSamplePosH = static_cast<DWORD>(position >> 32);
        request.dwSampleCount = count;
        request.dwBufSize = count * channels * 2;
        request.lpBuf = samples.data();
        if (table.ReadData(handle, kVfapiStreamAudio, &request) != 0) return -1;
        samples.resize(static_cast<size_t>(request.dwReadedSampleCount) * channels);
        return request.dwReadedSampleCount;
    }

    VfapiVideoInfo open_video(const std::string& path) {
        VfapiVideoInfo video{};
        video.dwSize = sizeof video;
        if (table.OpenInput(path.c_str(), &handle) == 0) table.QueryStreamInfo(handle, kVfapiStreamVideo, &video);
        return video;
    }

    // Opens path with the address space capped at what the process uses:
    // 0 when the plug-in says that memory ran out, 1 when it opens the file
    // all the same, 2 for any other failure, 3 when the cap can't be set.
    int open_with_memory_capped(const std::string& path) {
        long pages = 0;
        FILE* statm = std::fopen("/proc/self/statm", "r");
        const bool got = statm && std::fscanf(statm, "%ld", &pages) == 1;
        if (statm) std::fclose(statm);
        if (!got) return 3;
        const rlimit cap{static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)), RLIM_INFINITY};
        if (setrlimit(RLIMIT_AS, &cap) != 0) return 3;
        const HRESULT opened = table.OpenInput(path.c_str(), &handle);
        return opened == kVfapiOutOfMemory ? 0 : opened == kVfapiOk ? 1 : 2;
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

// Pictures that don't keep one rate are served at their average rate, frame n
// being the picture on screen at n / rate, so that the frames last as long
// as the stream: 34 pictures over 2.0 s, 17 at 25 a second, then 17 at 12.5.
TEST_F(VfapiReaderTest, ServesAVariableRateStreamAtItsAverageRateKeepingTime) {
    struct Case {
        const char* name;
        std::vector<std::string> codec;
    };
    for (const Case& c : {Case{"vfr.mkv", {"-c:v", "ffv1"}}, Case{"vfr.mp4", {"-c:v", "mpeg4", "-q:v", "2"}}}) {
        SCOPED_TRACE(c.name);
        const std::string clip = dir.file(c.name);
        std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-frames:v", "34",
                                         "-vf", "setpts='if(lt(N,17),N,2*N-17)'", "-fps_mode", "passthrough"};
        args.insert(args.end(), c.codec.begin(), c.codec.end());
        args.push_back(clip);
        ASSERT_TRUE(testsupport::ffmpeg(args));
        const std::vector<std::string> pictures = decoded_pictures(clip, "null", 96 * 64 * 3);
        ASSERT_EQ(pictures.size(), 34u);

        const VfapiVideoInfo video = open_video(clip);
        ASSERT_NE(handle, 0u);
        ASSERT_GT(video.dwFrameRate, 0u);
        const double rate = static_cast<double>(video.dwFrameRate) / video.dwFrameScale;
        EXPECT_NEAR(video.dwFrameCountL / rate, 2.0, 1e-6) << video.dwFrameCountL << " frames at " << rate;
        std::vector<uint8_t> picture;
        // In order, then back and forth by seeking.
        std::vector<DWORD> order;
        for (DWORD n = 0; n < video.dwFrameCountL; ++n) order.push_back(n);
        for (DWORD n : {30u, 3u, 20u, 21u, 0u, 33u}) order.push_back(n);
        for (DWORD n : order) {
            // The last picture that starts before the middle of frame n.
            const double middle = (n + 0.5) / rate * 25;  // in 1/25 s
            int on_screen = 0;
            for (int k = 0; k < 34; ++k)
                if ((k < 17 ? k : 2 * k - 17) <= middle) on_screen = k;
            ASSERT_EQ(read(n, picture, 96, 64), 0) << "frame " << n;
            EXPECT_EQ(closest_picture(picture, pictures), on_screen) << "frame " << n;
        }
        table.CloseInput(handle);
        handle = 0;
    }
}

// An MP4 cut without re-encoding keeps the pictures before its cut for the
// decoder's sake; an edit list says they are not shown, and they are not counted.
TEST_F(VfapiReaderTest, CountsOnlyThePicturesAnEditListShows) {
    const std::string whole = dir.file("whole.mp4"), cut = dir.file("cut.mp4");
    // Fine enough that each picture is told from the next.
    ASSERT_TRUE(testsupport::make_clip(whole, "testsrc2=size=160x120:rate=25", 50,
                                       {"-c:v", "libx264", "-bf", "3", "-g", "12", "-qp", "8"}));
    ASSERT_TRUE(testsupport::ffmpeg({"-ss", "0.5", "-i", whole, "-c", "copy", cut}));
    const std::vector<std::string> pictures = decoded_pictures(cut, "null", 160 * 120 * 3);
    ASSERT_GT(pictures.size(), 30u);
    ASSERT_LT(pictures.size(), 40u);
    ASSERT_LT(pictures.size(), static_cast<size_t>(std::stoi(testsupport::ffprobe_stream_field(cut, "nb_frames"))))
        << "the cut keeps pictures it doesn't show";

    const VfapiVideoInfo video = open_video(cut);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(video.dwFrameCountL, pictures.size());
    EXPECT_EQ(video.dwFrameRate * 1.0 / video.dwFrameScale, 25.0);
    std::vector<uint8_t> picture;
    const int last = static_cast<int>(pictures.size()) - 1;
    for (int n : {0, 1, 2, 3, 12, last, 5, last - 1, 0}) {
        ASSERT_EQ(read(n, picture, 160, 120), 0) << "frame " << n;
        EXPECT_EQ(closest_picture(picture, pictures), n) << "frame " << n;
    }
    EXPECT_NE(read(last + 1, picture, 160, 120), 0) << "past the end";
}

// A phone's sideways picture is shown as players show it: turned and flipped
// as the display matrix says, whoever wrote it.
TEST_F(VfapiReaderTest, ShowsPicturesAsTheirDisplayMatrixTurnsAndFlipsThem) {
    constexpr int32_t one = 0x10000, w = 0x40000000;
    constexpr int32_t dust = 46341;  // cos 45 degrees
    struct Case {
        const char* name;
        const char* rotate;             // the tag ffmpeg turns into a matrix, or null
        std::array<int32_t, 9> matrix;  // else the matrix written into the file
        const char* shown;              // the filter that shows the stored picture so
    };
    const Case cases[] = {
        {"90", "90", {}, "transpose=cclock"},
        {"180", "180", {}, "hflip,vflip"},
        {"270", "270", {}, "transpose=clock"},
        {"mirror", nullptr, {-one, 0, 0, 0, one, 0, 0, 0, w}, "hflip"},
        {"upside down", nullptr, {one, 0, 0, 0, -one, 0, 0, 0, w}, "vflip"},
        {"transposed", nullptr, {0, one, 0, one, 0, 0, 0, 0, w}, "transpose=cclock_flip"},
        {"turned and mirrored", nullptr, {0, -one, 0, -one, 0, 0, 0, 0, w}, "transpose=clock_flip"},
        // Only a resampler could show a picture at 45 degrees: it stays as stored.
        {"45", nullptr, {dust, -dust, 0, dust, dust, 0, 0, 0, w}, "null"},
    };
    const std::string stored = dir.file("stored.mp4");
    ASSERT_TRUE(testsupport::make_clip(stored, "testsrc2=size=64x48:rate=25", 3, {"-c:v", "mpeg4", "-q:v", "2"}));
    // Every way of showing it, frame 1 of each: the right one must be the closest.
    std::vector<std::string> wide, tall;  // 64 x 48 and 48 x 64
    std::vector<int> index_of;            // of each case in its list
    for (const Case& c : cases) {
        const bool swapped = std::string(c.shown).find("transpose") != std::string::npos;
        const std::vector<std::string> frames = decoded_pictures(stored, c.shown, 64 * 48 * 3);
        ASSERT_EQ(frames.size(), 3u) << c.shown;
        std::vector<std::string>& list = swapped ? tall : wide;
        index_of.push_back(static_cast<int>(list.size()));
        list.push_back(frames[1]);
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string clip = dir.file(std::string(c.name) + ".mp4");
        if (c.rotate) {
            ASSERT_TRUE(testsupport::ffmpeg({"-i", stored, "-c", "copy", "-metadata:s:v:0",
                                             std::string("rotate=") + c.rotate, clip}));
        } else {
            ASSERT_TRUE(testsupport::ffmpeg({"-i", stored, "-c", "copy", clip}));
            ASSERT_TRUE(testsupport::mp4_set_display_matrix(clip, c.matrix));
        }
        const bool swapped = std::string(c.shown).find("transpose") != std::string::npos;
        const int width = swapped ? 48 : 64, height = swapped ? 64 : 48;
        const VfapiVideoInfo video = open_video(clip);
        ASSERT_NE(handle, 0u);
        EXPECT_EQ(video.dwFrameWidth, static_cast<DWORD>(width));
        EXPECT_EQ(video.dwFrameHeight, static_cast<DWORD>(height));
        std::vector<uint8_t> picture;
        ASSERT_EQ(read(1, picture, width, height), 0);
        EXPECT_EQ(closest_picture(picture, swapped ? tall : wide), index_of[i]);
        table.CloseInput(handle);
        handle = 0;
    }
}

// Sample 0 of the audio lies at the time of frame 0; from there on the
// samples are ffmpeg's own decoding of the stream to 16 bits (mixed down to
// stereo where it has more channels), whether they are read in one piece or
// a bit at a time, and after going back and forth.
TEST_F(VfapiReaderTest, ServesAudioAsFfmpegDecodesItFromTheTimeOfTheFirstFrame) {
    struct Case {
        const char* name;
        // The file's making: "V" and "A" stand for a video clip and the
        // audio made from the source and codec below.
        std::vector<std::string> make;
        std::vector<std::string> audio;
        DWORD channels;
        int rate;
        double audio_later;  // seconds by which the audio starts after the first picture
    };
    const std::vector<std::string> remux = {"-map", "0:v", "-map", "1:a", "-c", "copy"};
    auto with_remux = [&](std::vector<std::string> inputs) {
        inputs.insert(inputs.end(), remux.begin(), remux.end());
        return inputs;
    };
    const Case cases[] = {
        {"aac.mp4",
         {"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-f", "lavfi", "-i", "sine=frequency=1000", "-t", "2",
          "-c:v", "mpeg4", "-c:a", "aac"},
         {},
         1,
         44100,
         0.0},
        {"later.mp4",
         with_remux({"-i", "V", "-itsoffset", "0.3", "-i", "A"}),
         {"aevalsrc=0.5*sin(1000*2*PI*t)|0.3*sin(300*2*PI*t):s=48000", "-c:a", "aac"},
         2,
         48000,
         0.3},
        {"earlier 5.1.mp4",
         with_remux({"-itsoffset", "0.2", "-i", "V", "-i", "A"}),
         {"aevalsrc=0.4*sin(1000*2*PI*t)|0.3*sin(500*2*PI*t)|0.2*sin(250*2*PI*t)|0.1*sin(60*2*PI*t)|"
          "0.3*sin(700*2*PI*t)|0.2*sin(900*2*PI*t):c=5.1:s=48000",
          "-c:a", "aac"},
         2,
         48000,
         -0.2},
        {"mp3.mkv",
         with_remux({"-i", "V", "-itsoffset", "0.1", "-i", "A"}),
         {"aevalsrc=0.5*sin(440*2*PI*t)|0.5*sin(880*2*PI*t):s=48000", "-c:a", "libmp3lame", "-b:a", "128k"},
         2,
         48000,
         0.1},
    };
    const std::string video = dir.file("video.mp4");
    ASSERT_TRUE(testsupport::make_clip(video, "testsrc2=size=64x48:rate=25", 50, {"-c:v", "mpeg4"}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The audio alone in a file whose time stamps count samples (Matroska's
        // milliseconds would place a frame after a seek up to half of one off).
        const bool mp3 = std::find(c.audio.begin(), c.audio.end(), "libmp3lame") != c.audio.end();
        const std::string clip = dir.file(c.name), audio = dir.file(std::string(c.name) + (mp3 ? ".mp3" : ".m4a"));
        if (!c.audio.empty()) {
            std::vector<std::string> args = {"-f", "lavfi", "-i", c.audio[0], "-t", "2"};
            args.insert(args.end(), c.audio.begin() + 1, c.audio.end());
            args.push_back(audio);
            ASSERT_TRUE(testsupport::ffmpeg(args));
        }
        std::vector<std::string> args;
        for (const std::string& arg : c.make) args.push_back(arg == "V" ? video : arg == "A" ? audio : arg);
        args.push_back(clip);
        ASSERT_TRUE(testsupport::ffmpeg(args));

        ASSERT_EQ(table.OpenInput(clip.c_str(), &handle), 0);
        VfapiFileInfo file{sizeof file, 0};
        ASSERT_EQ(table.QueryFileInfo(handle, &file), 0);
        EXPECT_EQ(file.dwStreamFlags, kVfapiHasVideo | kVfapiHasAudio);
        VfapiAudioInfo info{};
        info.dwSize = sizeof info;
        ASSERT_EQ(table.QueryStreamInfo(handle, kVfapiStreamAudio, &info), 0);
        EXPECT_EQ(info.dwRate, static_cast<DWORD>(c.rate));
        EXPECT_EQ(info.dwScale, 1u);
        EXPECT_EQ(info.dwChannels, c.channels);
        EXPECT_EQ(info.dwBitsPerSample, 16u);
        EXPECT_EQ(info.dwBlockAlign, c.channels * 2);
        const uint32_t ch = c.channels;

        // One read for all of it: fewer samples than asked, at the end.
        std::vector<int16_t> whole;
        const int64_t total = read_audio(0, static_cast<uint32_t>(c.rate) * 3, whole, ch);
        ASSERT_GT(total, c.rate);
        EXPECT_LT(total, c.rate * 3);
        EXPECT_NEAR(static_cast<double>(info.dwLengthL), static_cast<double>(total), c.rate / 20.0)
            << "the length the duration gives";
        EXPECT_EQ(info.dwLengthH, 0u);

        // ffmpeg's samples start at its first audio frame's time.
        const double later = testsupport::ffprobe_first_frame_time(clip, "a") - testsupport::ffprobe_first_frame_time(clip, "v");
        EXPECT_NEAR(later, c.audio_later, 0.03);
        const auto shift = static_cast<int64_t>(std::lround(later * c.rate));
        const std::vector<int16_t> want = testsupport::ffmpeg_pcm16(clip, static_cast<int>(ch));
        ASSERT_GT(want.size(), static_cast<size_t>(c.rate));
        EXPECT_EQ(total, shift + static_cast<int64_t>(want.size() / ch)) << "shift " << shift;
        int64_t silent = 0, compared = 0, off = 0;
        for (int64_t i = 0; i < total * ch; ++i) {
            const int64_t j = i - shift * ch;  // the same time in ffmpeg's samples
            if (j < 0) {
                silent += whole[static_cast<size_t>(i)] == 0;
                continue;
            }
            if (j >= static_cast<int64_t>(want.size())) break;
            ++compared;
            if (std::abs(whole[static_cast<size_t>(i)] - want[static_cast<size_t>(j)]) > 1 && off++ < 5)
                ADD_FAILURE() << "sample " << i / ch << " channel " << i % ch << ": " << whole[static_cast<size_t>(i)]
                              << ", ffmpeg " << want[static_cast<size_t>(j)];
        }
        EXPECT_EQ(off, 0) << "of " << compared;
        EXPECT_EQ(silent, std::max<int64_t>(shift, 0) * ch) << "silence before the audio starts";

        // A bit at a time: the same samples.
        std::vector<int16_t> pieces, piece;
        const uint32_t sizes[] = {1, 7, 1764, 1024, 4096, 333};
        for (size_t k = 0; static_cast<int64_t>(pieces.size()) < total * ch; ++k) {
            const int64_t got = read_audio(pieces.size() / ch, sizes[k % std::size(sizes)], piece, ch);
            ASSERT_GT(got, 0) << "at " << pieces.size() / ch;
            pieces.insert(pieces.end(), piece.begin(), piece.end());
        }
        EXPECT_TRUE(pieces == whole) << "read a bit at a time";
        EXPECT_EQ(read_audio(total, 100, piece, ch), 0) << "past the end";
        // Back and forth, by seeking: a decoder that starts afresh may round
        // a sample the other way (AAC's noise substitution draws other noise).
        for (int64_t at : {int64_t{c.rate}, int64_t{10}, total - 500, int64_t{c.rate / 2}, int64_t{0}}) {
            ASSERT_EQ(read_audio(static_cast<uint64_t>(at), 500, piece, ch), std::min<int64_t>(500, total - at));
            EXPECT_TRUE(std::equal(piece.begin(), piece.end(), whole.begin() + at * ch,
                                   [](int16_t a, int16_t b) { return std::abs(a - b) <= 1; }))
                << "at " << at;
        }
        table.CloseInput(handle);
        handle = 0;
    }
}

TEST_F(VfapiReaderTest, AFileWithoutAudioSaysSo) {
    const std::string clip = dir.file("clip.mp4");
    ASSERT_TRUE(testsupport::make_clip(clip, "testsrc2=size=64x48:rate=25", 5, {"-c:v", "mpeg4"}));
    ASSERT_EQ(table.OpenInput(clip.c_str(), &handle), 0);
    VfapiFileInfo file{sizeof file, 0};
    ASSERT_EQ(table.QueryFileInfo(handle, &file), 0);
    EXPECT_EQ(file.dwStreamFlags, kVfapiHasVideo);
    VfapiAudioInfo info{};
    info.dwSize = sizeof info;
    EXPECT_NE(table.QueryStreamInfo(handle, kVfapiStreamAudio, &info), 0);
    std::vector<int16_t> samples;
    EXPECT_EQ(read_audio(0, 100, samples, 2), -1);
}

// With no room left to decode, the plug-in says that memory ran out, not
// merely that it failed (the address space capped at what is in use).
TEST_F(VfapiReaderTest, SaysWhenMemoryRanOut) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own memory can't be capped";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string clip = dir.file("clip.mkv");
    ASSERT_TRUE(testsupport::make_clip(clip, "testsrc2=size=1280x720:rate=25", 3, {"-c:v", "mpeg4"}));
    EXPECT_EXIT(std::_Exit(open_with_memory_capped(clip)), ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
