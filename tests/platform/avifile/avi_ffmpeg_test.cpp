// Our reader on files that ffmpeg wrote: what it finds (stream information,
// frames, sizes, key flags) against ffprobe, and the pictures it decodes
// through the compression manager against ffmpeg's own decoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "platform/avifile/avifile.h"
#include "platform/avifile/avifile_testing.h"
#include "platform/icm/icm.h"
#include "tests/support/avi_craft.h"
#include "tests/support/avi_probe.h"
#include "tests/support/support.h"

namespace {

using testsupport::TempDir;

enum class Audio { none, first, second };
using Craft = testsupport::AviCraft;  // what is done to ffmpeg's file before it is read

struct Case {
    const char* name;
    int width, height;
    const char* rate;  // lavfi rate
    std::vector<std::string> codec;
    Audio audio;
    double tolerance;  // mean absolute difference per byte allowed; 0: exact
    Craft craft = Craft::none;
    int frames = 30;
};

bool make_avi(const std::string& path, const Case& c, int frames, const std::string& audio_seconds = "1") {
    std::string video = "testsrc2=size=" + std::to_string(c.width) + "x" + std::to_string(c.height) + ":rate=" + c.rate;
    std::vector<std::string> args = {"-f", "lavfi", "-i", video};
    if (c.audio != Audio::none) {
        // A finite tone: -frames:v alone does not end a run whose audio goes on.
        args.insert(args.end(), {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050:duration=" + audio_seconds});
        if (c.audio == Audio::first)
            args.insert(args.end(), {"-map", "1:a", "-map", "0:v"});
        else
            args.insert(args.end(), {"-map", "0:v", "-map", "1:a"});
        args.insert(args.end(), {"-c:a", "pcm_s16le"});
    }
    args.insert(args.end(), {"-frames:v", std::to_string(frames)});
    args.insert(args.end(), c.codec.begin(), c.codec.end());
    args.insert(args.end(), {"-metadata:s:v:0", "title=ffmpeg clip", path});
    return testsupport::ffmpeg(args);
}

struct Packet {
    std::uint32_t size;
    bool key;
};

std::vector<Packet> ffprobe_packets(const std::string& path) {
    testsupport::ProcessResult r = testsupport::run_process(
        {"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=size,flags", "-of", "csv=p=0", path});
    std::vector<Packet> packets;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        std::size_t comma = line.find(',');
        if (comma == std::string::npos) continue;
        packets.push_back({static_cast<std::uint32_t>(std::stoul(line.substr(0, comma))), line[comma + 1] == 'K'});
    }
    return packets;
}

// "30000/1001" → numerator and denominator.
std::pair<long, long> ratio(const std::string& s) {
    std::size_t slash = s.find('/');
    if (slash == std::string::npos) return {0, 1};
    return {std::atol(s.substr(0, slash).c_str()), std::atol(s.substr(slash + 1).c_str())};
}

struct Opened {
    PAVIFILE file = nullptr;
    PAVISTREAM stream = nullptr;
    PGETFRAME frames = nullptr;
    explicit Opened(const std::string& path) {
        if (AVIFileOpenA(&file, path.c_str(), OF_READ, nullptr) != AVIERR_OK) return;
        AVIFileGetStream(file, &stream, streamtypeVIDEO, 0);
    }
    ~Opened() {
        if (frames) AVIStreamGetFrameClose(frames);
        if (stream) AVIStreamRelease(stream);
        if (file) AVIFileRelease(file);
    }
};

// What the reader finds agrees with ffprobe (the key flags only where an
// index gives them).
void expect_same_as_ffprobe(const std::string& path, Opened& o, int width, int height, bool keys = true) {
    AVISTREAMINFOA si{};
    ASSERT_EQ(AVIStreamInfoA(o.stream, &si, sizeof si), AVIERR_OK);
    auto rate = ratio(testsupport::ffprobe_stream_field(path, "r_frame_rate"));
    EXPECT_EQ(static_cast<long long>(si.dwRate) * rate.second, static_cast<long long>(si.dwScale) * rate.first);
    EXPECT_EQ(std::to_string(si.dwLength), testsupport::ffprobe_stream_field(path, "nb_frames"));
    EXPECT_EQ(si.rcFrame.left, 0);
    EXPECT_EQ(si.rcFrame.top, 0);
    EXPECT_EQ(si.rcFrame.right, width);
    EXPECT_EQ(si.rcFrame.bottom, height);
    EXPECT_EQ(std::string(si.szName), testsupport::ffprobe_stream_field(path, "stream_tags=title"));
    std::vector<Packet> packets = ffprobe_packets(path);
    ASSERT_EQ(avifile_frame_count(o.stream), static_cast<LONG>(packets.size()));
    for (std::size_t n = 0; n < packets.size(); ++n) {
        std::uint32_t size = 0;
        int key = 0;
        ASSERT_TRUE(avifile_frame_entry(o.stream, static_cast<LONG>(n), &size, &key));
        ASSERT_EQ(size, packets[n].size) << "frame " << n;
        if (keys) {
            ASSERT_EQ(key != 0, packets[n].key) << "frame " << n;
        }
    }
}

std::string picture_of(PGETFRAME g, LONG n, int width, int height) {
    auto* bi = static_cast<const BITMAPINFOHEADER*>(AVIStreamGetFrame(g, n));
    if (!bi) return {};
    EXPECT_EQ(bi->biSize, 40u);
    EXPECT_EQ(bi->biBitCount, 24);
    EXPECT_EQ(bi->biWidth, width);
    EXPECT_EQ(bi->biHeight, height);
    // Rows padded to 4 bytes, as any DIB's; handed back without the padding.
    const std::size_t row = static_cast<std::size_t>(width) * 3, stride = (row + 3) & ~static_cast<std::size_t>(3);
    EXPECT_EQ(bi->biSizeImage, static_cast<DWORD>(stride * height));
    std::string packed;
    for (int y = 0; y < height; ++y)
        packed.append(reinterpret_cast<const char*>(bi) + bi->biSize + stride * static_cast<std::size_t>(y), row);
    return packed;
}

double mean_abs_diff(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) return 1e9;
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        sum += std::abs(static_cast<int>(static_cast<std::uint8_t>(a[i])) - static_cast<std::uint8_t>(b[i]));
    return sum / static_cast<double>(a.size());
}

class FfmpegFile : public ::testing::TestWithParam<Case> {};

// Frames in display order whatever the codec (B-frames), and files laid
// out as other writers or damage lay them out, as ffmpeg reads its own.
TEST_P(FfmpegFile, ReadsAndDecodesLikeFfmpeg) {
    const Case& c = GetParam();
    const int frames = c.frames;
    TempDir dir;
    std::string made = dir.file("in.avi");
    ASSERT_TRUE(make_avi(made, c, frames));
    const std::string path = c.craft == Craft::none ? made : dir.file("crafted.avi");
    if (c.craft != Craft::none) {
        ASSERT_TRUE(testsupport::avi_craft_copy(made, c.craft, path));
    }
    Opened o(path);
    ASSERT_NE(o.stream, nullptr);
    expect_same_as_ffprobe(path, o, c.width, c.height, c.craft != Craft::unpadded_unindexed);

    o.frames = AVIStreamGetFrameOpen(o.stream, nullptr);
    if (!o.frames) GTEST_SKIP() << "no decoder installed for this format yet";

    // ffmpeg's own pictures of the file it made (it reads no packed B-frames without DivX's mark).
    std::vector<std::string> want = testsupport::ffmpeg_bgr24_frames(made, c.width, c.height);
    ASSERT_EQ(want.size(), static_cast<std::size_t>(frames));
    std::vector<std::string> got;
    for (int n = 0; n < frames; ++n) {
        got.push_back(picture_of(o.frames, n, c.width, c.height));
        ASSERT_FALSE(got.back().empty()) << "frame " << n;
        if (c.tolerance == 0)
            ASSERT_TRUE(got[n] == want[n]) << "frame " << n << " differs";
        else
            ASSERT_LE(mean_abs_diff(got[n], want[n]), c.tolerance) << "frame " << n;
    }
    EXPECT_EQ(AVIStreamGetFrame(o.frames, frames), nullptr);
    // Any order gives the same pictures as reading straight through.
    for (int n : {frames - 1, 0, 17, 16, 5, 29, 11, 12, 1})
        if (n < frames) {
            ASSERT_TRUE(picture_of(o.frames, n, c.width, c.height) == got[n]) << "frame " << n << " out of order";
        }
}

const std::vector<std::string> kRawBgr = {"-c:v", "rawvideo", "-pix_fmt", "bgr24"};

INSTANTIATE_TEST_SUITE_P(
    Formats, FfmpegFile,
    ::testing::Values(Case{"bgr24_320", 320, 240, "25", kRawBgr, Audio::none, 0},
                      Case{"bgr24_322", 322, 242, "30000/1001", kRawBgr, Audio::none, 0},
                      Case{"bgra", 160, 120, "25", {"-c:v", "rawvideo", "-pix_fmt", "bgra"}, Audio::none, 0},
                      Case{"rgb555", 160, 120, "25", {"-c:v", "rawvideo", "-pix_fmt", "rgb555le"}, Audio::none, 0},
                      Case{"pal8", 160, 120, "25", {"-c:v", "rawvideo", "-pix_fmt", "pal8"}, Audio::none, 0},
                      Case{"mjpeg", 320, 240, "25", {"-c:v", "mjpeg", "-q:v", "3"}, Audio::none, 3.0},
                      Case{"xvid", 320, 240, "25", {"-c:v", "mpeg4", "-vtag", "XVID", "-g", "12"}, Audio::none, 3.0},
                      Case{"msmpeg4v2", 320, 240, "25", {"-c:v", "msmpeg4v2", "-g", "12"}, Audio::none, 3.0},
                      Case{"msmpeg4", 320, 240, "25", {"-c:v", "msmpeg4", "-g", "12"}, Audio::none, 3.0},
                      Case{"msmpeg4v2_150", 150, 100, "25", {"-c:v", "msmpeg4v2", "-g", "12"}, Audio::none, 0},
                      Case{"xvid_audio_after", 320, 240, "25", {"-c:v", "mpeg4", "-vtag", "XVID", "-g", "12"},
                           Audio::second, 3.0},
                      Case{"msmpeg4_audio_first", 320, 240, "25", {"-c:v", "msmpeg4", "-g", "12"}, Audio::first, 3.0},
                      Case{"bgr24_audio_first", 320, 240, "25", kRawBgr, Audio::first, 0},
                      Case{"h264_b_frames", 320, 240, "25", {"-c:v", "libx264", "-bf", "3"}, Audio::none, 3.0},
                      Case{"h264_one_frame", 320, 240, "25", {"-c:v", "libx264", "-bf", "3"}, Audio::none, 3.0,
                           Craft::none, 1},
                      Case{"xvid_b_frames", 320, 240, "25", {"-c:v", "mpeg4", "-vtag", "XVID", "-bf", "2", "-g", "12"},
                           Audio::none, 3.0},
                      Case{"xvid_packed_b_frames", 320, 240, "25",
                           {"-c:v", "mpeg4", "-vtag", "XVID", "-bf", "2", "-g", "12"}, Audio::none, 3.0,
                           Craft::packed_b_frames},
                      Case{"xvid_bad_index_size", 320, 240, "25", {"-c:v", "mpeg4", "-vtag", "XVID", "-g", "12"},
                           Audio::second, 3.0, Craft::bad_index_size},
                      Case{"mjpeg_unpadded_unindexed", 320, 240, "25", {"-c:v", "mjpeg", "-q:v", "3"}, Audio::second,
                           3.0, Craft::unpadded_unindexed}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// An audio stream read back chunk by chunk with AVISTREAMREAD_CONVENIENT, as
// a copy of it reads it: the chunks' sizes and their bytes one after the other.
struct AudioRead {
    AVISTREAMINFOA info{};
    std::string format;
    std::vector<std::uint32_t> sizes;
    std::string bytes;
    HRESULT end = AVIERR_OK;  // what a read after the last chunk answers
};

AudioRead read_audio_chunks(PAVIFILE file, LONG n) {
    AudioRead r;
    PAVISTREAM s = nullptr;
    if (AVIFileGetStream(file, &s, streamtypeAUDIO, n) != AVIERR_OK) return r;
    AVIStreamInfoA(s, &r.info, sizeof r.info);
    LONG size = 0;
    AVIStreamReadFormat(s, 0, nullptr, &size);
    r.format.assign(static_cast<std::size_t>(size), '\0');
    AVIStreamReadFormat(s, 0, r.format.data(), &size);
    std::string chunk;
    for (LONG at = static_cast<LONG>(r.info.dwStart);;) {
        LONG bytes = 0, samples = 0;
        r.end = AVIStreamRead(s, at, AVISTREAMREAD_CONVENIENT, nullptr, 0, &bytes, &samples);
        if (r.end != AVIERR_OK || samples == 0) break;
        chunk.assign(static_cast<std::size_t>(bytes), '\0');
        r.end = AVIStreamRead(s, at, AVISTREAMREAD_CONVENIENT, chunk.data(), bytes, &bytes, &samples);
        if (r.end != AVIERR_OK) break;
        r.sizes.push_back(static_cast<std::uint32_t>(bytes));
        r.bytes += chunk;
        at += samples;
    }
    AVIStreamRelease(s);
    return r;
}

struct AudioCase {
    const char* name;
    std::vector<std::string> audio;  // ffmpeg's options for the audio streams (after the inputs)
    int streams;
    Craft craft = Craft::none;
};

class FfmpegAudio : public ::testing::TestWithParam<AudioCase> {};

// Every audio stream of a file ffmpeg wrote reads back, chunk by chunk, as
// the packets ffmpeg's own copy gives: their bytes, and their sizes where
// ffmpeg hands a chunk out as one packet (no sample size, or one of a byte).
TEST_P(FfmpegAudio, ChunksAreTheStreamsPackets) {
    const AudioCase& c = GetParam();
    TempDir dir;
    const std::string made = dir.file("in.avi");
    std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-f", "lavfi", "-i",
                                     "sine=frequency=440:sample_rate=48000:duration=3", "-f", "lavfi", "-i",
                                     "sine=frequency=1000:sample_rate=44100:duration=3", "-frames:v", "50",
                                     "-map", "0:v"};
    args.insert(args.end(), c.audio.begin(), c.audio.end());
    args.insert(args.end(), {"-c:v", "mpeg4", made});
    if (!testsupport::ffmpeg(args)) GTEST_SKIP() << "this ffmpeg can't make " << c.name;
    const std::string path = c.craft == Craft::none ? made : dir.file("crafted.avi");
    if (c.craft != Craft::none) {
        ASSERT_TRUE(testsupport::avi_craft_copy(made, c.craft, path));
    }
    testsupport::AviLayout layout;
    ASSERT_TRUE(testsupport::avi_take_apart(testsupport::read_file(made), layout));

    Opened o(path);
    ASSERT_NE(o.stream, nullptr);
    LONG video_chunks = 0;
    for (const auto& chunk : layout.chunks) video_chunks += chunk.id == "00dc";
    EXPECT_EQ(avifile_frame_count(o.stream), video_chunks) << "the video beside it";
    for (int i = 0; i < c.streams; ++i) {
        SCOPED_TRACE("audio stream " + std::to_string(i));
        const std::string selector = "a:" + std::to_string(i);
        const AudioRead a = read_audio_chunks(o.file, i);
        EXPECT_EQ(a.end, AVIERR_NODATA);
        // PCM may come as the 16 bytes of a WAVEFORMAT, without cbSize.
        ASSERT_GE(a.format.size(), 16u);
        WAVEFORMATEX wf{};
        std::memcpy(&wf, a.format.data(), std::min(a.format.size(), sizeof wf));
        char tag[16];
        std::snprintf(tag, sizeof tag, "0x%04x", wf.wFormatTag);
        EXPECT_EQ(testsupport::ffprobe_field(path, selector, "codec_tag"), tag);
        EXPECT_EQ(testsupport::ffprobe_field(path, selector, "sample_rate"), std::to_string(wf.nSamplesPerSec));
        EXPECT_EQ(std::string(a.info.szName), testsupport::ffprobe_field(path, selector, "stream_tags=title"));
        EXPECT_EQ(a.info.fccType, streamtypeAUDIO);
        ASSERT_FALSE(a.sizes.empty());
        EXPECT_TRUE(a.bytes == testsupport::ffmpeg_packet_data(path, selector)) << "the packets' bytes";
        // The chunks are the file's own, in its order.
        std::vector<std::uint32_t> stored;
        const std::string id = "0" + std::to_string(i + 1) + "wb";
        for (const auto& chunk : layout.chunks)
            if (chunk.id == id) stored.push_back(static_cast<std::uint32_t>(chunk.data.size()));
        EXPECT_EQ(a.sizes, stored);
        if (a.info.dwSampleSize <= 1) {
            EXPECT_EQ(a.sizes, testsupport::ffprobe_packet_sizes(path, selector));
            if (a.info.dwSampleSize == 0) {
                EXPECT_EQ(a.info.dwLength, a.sizes.size());
            }
        } else {
            EXPECT_EQ(a.info.dwLength, a.bytes.size() / a.info.dwSampleSize);
            // Read in one go across every chunk: the same bytes.
            PAVISTREAM s = nullptr;
            ASSERT_EQ(AVIFileGetStream(o.file, &s, streamtypeAUDIO, i), AVIERR_OK);
            std::string all(a.bytes.size(), '\0');
            LONG bytes = 0, samples = 0;
            EXPECT_EQ(AVIStreamRead(s, static_cast<LONG>(a.info.dwStart), static_cast<LONG>(a.info.dwLength), all.data(),
                                    static_cast<LONG>(all.size()), &bytes, &samples),
                      AVIERR_OK);
            EXPECT_EQ(samples, static_cast<LONG>(a.info.dwLength));
            EXPECT_TRUE(all == a.bytes);
            AVIStreamRelease(s);
        }
    }
    PAVISTREAM none = nullptr;
    EXPECT_EQ(AVIFileGetStream(o.file, &none, streamtypeAUDIO, c.streams), AVIERR_NODATA);
}

const std::vector<std::string> kPcmStereo = {"-map", "1:a", "-c:a", "pcm_s16le", "-ac", "2",
                                             "-metadata:s:a:0", "title=stereo"};

INSTANTIATE_TEST_SUITE_P(
    Formats, FfmpegAudio,
    ::testing::Values(AudioCase{"pcm_stereo_48k", kPcmStereo, 1},
                      AudioCase{"mp3_cbr", {"-map", "1:a", "-c:a", "libmp3lame", "-b:a", "128k"}, 1},
                      AudioCase{"mp3_vbr", {"-map", "2:a", "-c:a", "libmp3lame", "-q:a", "4"}, 1},
                      AudioCase{"ac3", {"-map", "1:a", "-c:a", "ac3", "-ac", "2", "-b:a", "192k"}, 1},
                      AudioCase{"two_streams",
                                {"-map", "1:a", "-map", "2:a", "-c:a:0", "pcm_s16le", "-c:a:1", "libmp3lame",
                                 "-metadata:s:a:0", "title=first", "-metadata:s:a:1", "title=second"},
                                2},
                      AudioCase{"mp3_44k_unpadded_unindexed", {"-map", "2:a", "-c:a", "libmp3lame", "-b:a", "128k"}, 1,
                                Craft::unpadded_unindexed}),
    [](const ::testing::TestParamInfo<AudioCase>& info) { return std::string(info.param.name); });

// The largest picture a run encodes is decoded, whatever its stored format
// claims for the size of a frame (ffmpeg's MJPEG says 4 GB here).
TEST(FfmpegLargest, TheLargestPictureARunEncodesIsDecoded) {
    TempDir dir;
    std::string path = dir.file("largest.avi");
    ASSERT_TRUE(testsupport::make_clip(path, "color=c=0x3366CC:size=16384x8192:rate=25", 1, {"-c:v", "mjpeg"}));
    Opened o(path);
    ASSERT_NE(o.stream, nullptr);
    o.frames = AVIStreamGetFrameOpen(o.stream, nullptr);
    ASSERT_NE(o.frames, nullptr);
    auto* bi = static_cast<const BITMAPINFOHEADER*>(AVIStreamGetFrame(o.frames, 0));
    ASSERT_NE(bi, nullptr);
    EXPECT_EQ(bi->biWidth, 16384);
    EXPECT_EQ(bi->biHeight, 8192);
    EXPECT_EQ(bi->biSizeImage, 16384u * 3 * 8192);
    const auto* middle = reinterpret_cast<const std::uint8_t*>(bi) + bi->biSize + (4096u * 16384 + 8192) * 3;
    EXPECT_NEAR(middle[0], 0xCC, 4);
    EXPECT_NEAR(middle[1], 0x66, 4);
    EXPECT_NEAR(middle[2], 0x33, 4);
}

std::uint32_t adler32(const char* data, std::size_t size) {
    std::uint32_t a = 0, b = 0;  // framecrc starts from 0, not from adler-32's 1
    for (std::size_t i = 0; i < size; ++i) {
        a = (a + static_cast<std::uint8_t>(data[i])) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

// ffmpeg continues a file past 1 GiB in OpenDML parts; every frame is found
// and decodes to ffmpeg's picture (compared by checksum).
TEST(FfmpegOpenDml, LargerThanOneGibibyte) {
    TempDir dir;
    std::string path = dir.file("big.avi");
    constexpr int w = 640, h = 480, frames = 1200;
    Case c{"big", w, h, "25", kRawBgr, Audio::second, 0};
    ASSERT_TRUE(make_avi(path, c, frames, "48"));
    ASSERT_NE(testsupport::read_head(path, 1 << 20).find("indx"), std::string::npos);
    Opened o(path);
    ASSERT_NE(o.stream, nullptr);
    expect_same_as_ffprobe(path, o, w, h);
    o.frames = AVIStreamGetFrameOpen(o.stream, nullptr);
    if (!o.frames) GTEST_SKIP() << "no decoder installed for this format yet";

    testsupport::ProcessResult r = testsupport::run_process({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v", "-vf",
                                                             "vflip", "-pix_fmt", "bgr24", "-f", "framecrc", "-"});
    ASSERT_EQ(r.exit_code, 0);
    std::vector<std::uint32_t> crcs;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::size_t x = line.rfind("0x");
        if (x != std::string::npos) crcs.push_back(static_cast<std::uint32_t>(std::stoul(line.substr(x + 2), nullptr, 16)));
    }
    ASSERT_EQ(crcs.size(), static_cast<std::size_t>(frames));
    for (int n = 0; n < frames; ++n) {
        std::string pic = picture_of(o.frames, n, w, h);
        ASSERT_EQ(adler32(pic.data(), pic.size()), crcs[n]) << "frame " << n;
    }
    // The audio beside it, through every part's ix01.
    AudioRead audio = read_audio_chunks(o.file, 0);
    EXPECT_TRUE(audio.bytes == testsupport::ffmpeg_packet_data(path, "a:0"));
    EXPECT_GT(audio.bytes.size(), 2u * 22050 * 47) << "to the end of the video, past the first part";
}

}  // namespace
