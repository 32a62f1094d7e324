// The AVI writer, checked by ffprobe/ffmpeg as an independent reader and by our own reader.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/avifile/avifile.h"
#include "platform/avifile/avifile_testing.h"
#include "tests/support/avi_probe.h"
#include "tests/support/support.h"
#include "tests/support/dib.h"

namespace {

using testsupport::TempDir;

constexpr int kW = 64;
constexpr int kH = 48;

BITMAPINFOHEADER raw_format(int w, int h) { return testsupport::dib_header(w, h); }

AVISTREAMINFOA video_info(int w, int h, DWORD rate, DWORD scale, const char* name) {
    AVISTREAMINFOA si{};
    si.fccType = streamtypeVIDEO;
    si.fccHandler = mmioFOURCC('D', 'I', 'B', ' ');
    si.dwRate = rate;
    si.dwScale = scale;
    si.dwQuality = static_cast<DWORD>(-1);
    si.rcFrame = RECT{0, 0, w, h};
    std::snprintf(si.szName, sizeof si.szName, "%s", name);
    return si;
}

// A writer with one raw video stream, as the engine opens it.
struct Writer {
    PAVIFILE file = nullptr;
    PAVISTREAM stream = nullptr;
    HRESULT open_result = -1;
    Writer(const std::string& path, int w, int h, const char* name = "", UINT mode = OF_WRITE | OF_CREATE) {
        open_result = AVIFileOpenA(&file, path.c_str(), mode, nullptr);
        if (open_result != AVIERR_OK) return;
        AVISTREAMINFOA si = video_info(w, h, 25, 1, name);
        EXPECT_EQ(AVIFileCreateStreamA(file, &stream, &si), AVIERR_OK);
        BITMAPINFOHEADER bi = raw_format(w, h);
        EXPECT_EQ(AVIStreamSetFormat(stream, 0, &bi, sizeof bi), AVIERR_OK);
    }
    HRESULT write(LONG pos, const std::vector<std::uint8_t>& data, bool key) {
        return AVIStreamWrite(stream, pos, 1, const_cast<std::uint8_t*>(data.data()), static_cast<LONG>(data.size()),
                              key ? AVIIF_KEYFRAME : 0, nullptr, nullptr);
    }
    ULONG close() {
        ULONG r = 0;
        if (stream) r |= AVIStreamRelease(stream);
        if (file) r |= AVIFileRelease(file);
        stream = nullptr;
        file = nullptr;
        return r;
    }
    ~Writer() { close(); }
};

bool is_key(int n) { return n % 10 == 0 || n == 13; }

// Writes `frames` raw pictures with the key pattern above; answers true when all went well.
bool write_clip(const std::string& path, int frames, int w = kW, int h = kH) {
    Writer wr(path, w, h, "test clip");
    if (wr.open_result != AVIERR_OK) return false;
    for (int n = 0; n < frames; ++n)
        if (wr.write(n, testsupport::test_picture(w, h, n), is_key(n)) != AVIERR_OK) return false;
    return wr.close() == 0;
}

// Every picture read back through ffmpeg equals what was written.
void expect_ffmpeg_pictures(const std::string& path, int frames, int w = kW, int h = kH) {
    auto decoded = testsupport::ffmpeg_bgr24_frames(path, w, h);
    ASSERT_EQ(decoded.size(), static_cast<std::size_t>(frames));
    for (int n = 0; n < frames; ++n) {
        auto want = testsupport::test_picture(w, h, n);
        ASSERT_EQ(decoded[n], std::string(want.begin(), want.end())) << "frame " << n;
    }
}

// Fields of our own reader's view.
AVISTREAMINFOA read_info(const std::string& path, bool* ok) {
    AVISTREAMINFOA si{};
    PAVIFILE f = nullptr;
    PAVISTREAM s = nullptr;
    *ok = AVIFileOpenA(&f, path.c_str(), OF_READ, nullptr) == AVIERR_OK &&
          AVIFileGetStream(f, &s, streamtypeVIDEO, 0) == AVIERR_OK &&
          AVIStreamInfoA(s, &si, sizeof si) == AVIERR_OK;
    if (s) AVIStreamRelease(s);
    if (f) AVIFileRelease(f);
    return si;
}

// An MPEG-4 part 2 elementary stream cut into frames at its VOP start codes,
// with the key flag of each (I-VOP).
struct CodedFrames {
    std::vector<std::vector<std::uint8_t>> data;
    std::vector<bool> keys;
};

CodedFrames mpeg4_frames(const TempDir& dir, int frames) {
    CodedFrames out;
    std::string es = dir.file("clip.m4v");
    if (!testsupport::make_clip(es, "testsrc2=size=64x48:rate=25", frames,
                                {"-c:v", "mpeg4", "-bf", "0", "-g", "7", "-f", "m4v"}))
        return out;
    std::string bytes = testsupport::read_file(es);
    std::vector<std::size_t> vops;
    for (std::size_t at = bytes.find(std::string("\0\0\1\xB6", 4)); at != std::string::npos;
         at = bytes.find(std::string("\0\0\1\xB6", 4), at + 4))
        vops.push_back(at);
    for (std::size_t i = 0; i < vops.size(); ++i) {
        std::size_t begin = i == 0 ? 0 : vops[i];
        std::size_t end = i + 1 < vops.size() ? vops[i + 1] : bytes.size();
        out.data.emplace_back(bytes.begin() + begin, bytes.begin() + end);
        out.keys.push_back(vops[i] + 4 < bytes.size() && (static_cast<std::uint8_t>(bytes[vops[i] + 4]) >> 6) == 0);
    }
    return out;
}

bool write_coded(const std::string& path, const CodedFrames& coded) {
    BITMAPINFOHEADER bi = raw_format(64, 48);
    bi.biCompression = mmioFOURCC('F', 'M', 'P', '4');
    PAVIFILE f = nullptr;
    PAVISTREAM s = nullptr;
    if (AVIFileOpenA(&f, path.c_str(), OF_WRITE | OF_CREATE, nullptr) != AVIERR_OK) return false;
    AVISTREAMINFOA si = video_info(64, 48, 25, 1, "");
    si.fccHandler = bi.biCompression;
    bool ok = AVIFileCreateStreamA(f, &s, &si) == AVIERR_OK && AVIStreamSetFormat(s, 0, &bi, sizeof bi) == AVIERR_OK;
    for (std::size_t n = 0; ok && n < coded.data.size(); ++n)
        ok = AVIStreamWrite(s, static_cast<LONG>(n), 1, const_cast<std::uint8_t*>(coded.data[n].data()),
                            static_cast<LONG>(coded.data[n].size()), coded.keys[n] ? AVIIF_KEYFRAME : 0, nullptr,
                            nullptr) == AVIERR_OK;
    if (s) ok = AVIStreamRelease(s) == 0 && ok;
    return AVIFileRelease(f) == 0 && ok;
}

TEST(AviWrite, KeyFlagsOfCompressedFramesReachThePeerReader) {
    TempDir dir;
    CodedFrames coded = mpeg4_frames(dir, 30);
    ASSERT_EQ(coded.data.size(), 30u);
    ASSERT_TRUE(coded.keys[0] && !coded.keys[1] && coded.keys[7]);
    std::string path = dir.file("mpeg4.avi");
    ASSERT_TRUE(write_coded(path, coded));
    EXPECT_EQ(testsupport::ffprobe_complaints(path), "");
    EXPECT_EQ(testsupport::ffprobe_key_flags(path), coded.keys);
    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(path), 30);

    // The same in several RIFF parts.
    std::string parts = dir.file("mpeg4-parts.avi");
    avifile_set_riff_limit(4096);
    bool written = write_coded(parts, coded);
    avifile_set_riff_limit(0);
    ASSERT_TRUE(written);
    EXPECT_NE(testsupport::read_file(parts).find("AVIX"), std::string::npos);
    EXPECT_EQ(testsupport::ffprobe_complaints(parts), "");
    EXPECT_EQ(testsupport::ffprobe_key_flags(parts), coded.keys);
    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(parts), 30);
}

TEST(AviWrite, ShortClipIsCleanForAPeerReader) {
    TempDir dir;
    std::string path = dir.file("short.avi");
    ASSERT_TRUE(write_clip(path, 40));
    EXPECT_EQ(testsupport::ffprobe_complaints(path), "");
    EXPECT_EQ(testsupport::ffprobe_key_flags(path).size(), 40u);  // raw frames all count as key frames there
    EXPECT_EQ(testsupport::ffprobe_stream_field(path, "r_frame_rate"), "25/1");
    EXPECT_EQ(testsupport::ffprobe_stream_field(path, "nb_frames"), "40");
    expect_ffmpeg_pictures(path, 40);

    bool ok = false;
    AVISTREAMINFOA si = read_info(path, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(si.dwLength, 40u);
    EXPECT_EQ(si.dwRate, 25u);
    EXPECT_EQ(si.dwScale, 1u);
    EXPECT_EQ(si.fccHandler, mmioFOURCC('D', 'I', 'B', ' '));
    EXPECT_EQ(si.dwSuggestedBufferSize, static_cast<DWORD>(kW * kH * 3));
    EXPECT_STREQ(si.szName, "test clip");
    EXPECT_EQ(si.rcFrame.right, kW);
    EXPECT_EQ(si.rcFrame.bottom, kH);
}

TEST(AviWrite, FormatBlockIsStoredByteForByte) {
    // A compressed header with extradata behind it: strf keeps every byte.
    TempDir dir;
    std::string path = dir.file("fmt.avi");
    std::vector<std::uint8_t> format(40 + 7);
    BITMAPINFOHEADER bi = raw_format(kW, kH);
    bi.biSize = 47;
    bi.biCompression = mmioFOURCC('M', 'P', '4', '2');
    std::memcpy(format.data(), &bi, 40);
    for (int i = 0; i < 7; ++i) format[40 + i] = static_cast<std::uint8_t>(0xA0 + i);
    PAVIFILE f = nullptr;
    PAVISTREAM s = nullptr;
    ASSERT_EQ(AVIFileOpenA(&f, path.c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
    AVISTREAMINFOA si = video_info(kW, kH, 30000, 1001, "");
    ASSERT_EQ(AVIFileCreateStreamA(f, &s, &si), AVIERR_OK);
    ASSERT_EQ(AVIStreamSetFormat(s, 0, format.data(), static_cast<LONG>(format.size())), AVIERR_OK);
    std::vector<std::uint8_t> data(333, 0x5A);
    ASSERT_EQ(AVIStreamWrite(s, 0, 1, data.data(), 333, AVIIF_KEYFRAME, nullptr, nullptr), AVIERR_OK);
    EXPECT_EQ(AVIStreamRelease(s), 0u);
    EXPECT_EQ(AVIFileRelease(f), 0u);

    std::string bytes = testsupport::read_file(path);
    std::string strf = "strf" + std::string("\x2f\0\0\0", 4) + std::string(format.begin(), format.end());
    EXPECT_NE(bytes.find(strf), std::string::npos);
    EXPECT_EQ(bytes.find("strn"), std::string::npos) << "no name, no strn";
    // An odd-sized chunk is followed by its pad byte: the index chunk starts on an even offset.
    std::size_t idx1 = bytes.find("idx1");
    ASSERT_NE(idx1, std::string::npos);
    EXPECT_EQ(idx1 % 2, 0u);
    bool ok = false;
    AVISTREAMINFOA back = read_info(path, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(back.dwRate, 30000u);
    EXPECT_EQ(back.dwScale, 1001u);
    EXPECT_EQ(back.dwLength, 1u);
    EXPECT_EQ(back.fccType, streamtypeVIDEO);
    EXPECT_EQ(back.szName[0], 0);
}

TEST(AviWrite, SeveralRiffPartsWithLoweredLimit) {
    TempDir dir;
    std::string path = dir.file("odml.avi");
    avifile_set_riff_limit(64 * 1024);
    bool written = write_clip(path, 60);
    avifile_set_riff_limit(0);
    ASSERT_TRUE(written);
    std::string bytes = testsupport::read_file(path);
    std::size_t parts = 0;
    for (std::size_t at = bytes.find("AVIX"); at != std::string::npos; at = bytes.find("AVIX", at + 1)) ++parts;
    EXPECT_GE(parts, 5u);
    EXPECT_NE(bytes.find("indx"), std::string::npos);
    EXPECT_NE(bytes.find("dmlh"), std::string::npos);

    EXPECT_EQ(testsupport::ffprobe_complaints(path), "");
    expect_ffmpeg_pictures(path, 60);
    bool ok = false;
    AVISTREAMINFOA si = read_info(path, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(si.dwLength, 60u);
}

TEST(AviWrite, GapIsFilledWithEmptyFramesAndRewritesAreRefused) {
    TempDir dir;
    std::string path = dir.file("gap.avi");
    {
        Writer wr(path, kW, kH);
        ASSERT_EQ(wr.write(0, testsupport::test_picture(kW, kH, 0), true), AVIERR_OK);
        ASSERT_EQ(wr.write(1, testsupport::test_picture(kW, kH, 1), true), AVIERR_OK);
        ASSERT_EQ(wr.write(4, testsupport::test_picture(kW, kH, 4), true), AVIERR_OK);
        EXPECT_EQ(wr.write(4, testsupport::test_picture(kW, kH, 4), true), AVIERR_BADPARAM);
        EXPECT_EQ(wr.write(2, testsupport::test_picture(kW, kH, 2), true), AVIERR_BADPARAM);
        EXPECT_EQ(wr.write(-1, testsupport::test_picture(kW, kH, 2), true), AVIERR_BADPARAM);
        EXPECT_EQ(wr.write(5 + (1 << 21), testsupport::test_picture(kW, kH, 2), true), AVIERR_BADPARAM);
        AVISTREAMINFOA si{};
        ASSERT_EQ(AVIStreamInfoA(wr.stream, &si, sizeof si), AVIERR_OK);
        EXPECT_EQ(si.dwLength, 5u);
        EXPECT_EQ(wr.close(), 0u);
    }
    EXPECT_EQ(testsupport::ffprobe_complaints(path), "");
    bool ok = false;
    EXPECT_EQ(read_info(path, &ok).dwLength, 5u);
    EXPECT_TRUE(ok);
}

TEST(AviWrite, OpenAndWriteFailuresAreReported) {
    TempDir dir;
    PAVIFILE f = reinterpret_cast<PAVIFILE>(1);
    EXPECT_NE(AVIFileOpenA(&f, dir.file("no/such/dir/x.avi").c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
    EXPECT_EQ(f, nullptr);

    // A full disk: the first write fails, later ones too, and the release says so.
    if (testsupport::file_exists("/dev/full")) {
        Writer wr("/dev/full", kW, kH);
        ASSERT_EQ(wr.open_result, AVIERR_OK);
        EXPECT_EQ(wr.write(0, testsupport::test_picture(kW, kH, 0), true), AVIERR_FILEWRITE);
        EXPECT_EQ(wr.write(1, testsupport::test_picture(kW, kH, 1), true), AVIERR_FILEWRITE);
        EXPECT_NE(wr.close(), 0u);
    }
    // Releases too many are harmless.
    PAVIFILE g = nullptr;
    ASSERT_EQ(AVIFileOpenA(&g, dir.file("y.avi").c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
    EXPECT_EQ(AVIFileRelease(g), 0u);
    EXPECT_EQ(AVIFileRelease(g), 0u);
    AVIFileExit();
    AVIFileExit();
}

// While one writer holds a file exclusively no other may write it; a file
// that exists is replaced by a new one of its permissions (through a link,
// the link's target), so that its readers go on reading it unchanged.
TEST(AviWrite, ASecondWriterIsRefusedAndAnOldFileIsReplacedNotCutShort) {
    TempDir dir;
    const std::string target = dir.file("out.avi"), link = dir.file("link.avi");
    ASSERT_TRUE(write_clip(target, 5));
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const std::string before = testsupport::read_file(target);
    const int reader = open(target.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);

    const UINT exclusive = OF_WRITE | OF_CREATE | OF_SHARE_EXCLUSIVE;
    {
        Writer first(link, kW, kH, "", exclusive);
        ASSERT_EQ(first.open_result, AVIERR_OK);
        for (UINT mode : {exclusive, OF_WRITE | OF_CREATE}) {
            PAVIFILE second = reinterpret_cast<PAVIFILE>(1);
            EXPECT_EQ(AVIFileOpenA(&second, target.c_str(), mode, nullptr), AVIERR_FILEOPEN) << mode;
            EXPECT_EQ(second, nullptr);
        }
        for (int n = 0; n < 3; ++n) ASSERT_EQ(first.write(n, testsupport::test_picture(kW, kH, 9 + n), true), AVIERR_OK);
        ASSERT_EQ(first.close(), 0u);
    }
    std::string seen(before.size(), '\0');
    EXPECT_EQ(pread(reader, seen.data(), seen.size(), 0), static_cast<ssize_t>(before.size()));
    EXPECT_TRUE(seen == before) << "the old file changed under its reader";
    close(reader);
    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(target), 3);
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) entries += !entry.path().empty();
    EXPECT_EQ(entries, 2u) << "nothing left beside the file and its link";
    // Released, the file can be written again.
    Writer again(target, kW, kH, "", exclusive);
    EXPECT_EQ(again.open_result, AVIERR_OK);
}

TEST(AviWrite, FileLivesUntilStreamAndFileAreReleased) {
    // Released in the other order, the file is completed with the stream's release.
    TempDir dir;
    std::string path = dir.file("order.avi");
    Writer wr(path, kW, kH);
    for (int n = 0; n < 3; ++n) ASSERT_EQ(wr.write(n, testsupport::test_picture(kW, kH, n), true), AVIERR_OK);
    EXPECT_EQ(AVIFileRelease(wr.file), 1u);
    wr.file = nullptr;
    EXPECT_EQ(AVIStreamRelease(wr.stream), 0u);
    wr.stream = nullptr;
    EXPECT_EQ(testsupport::ffprobe_complaints(path), "");
    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(path), 3);
}

constexpr int kTinyW = 8, kTinyH = 6;  // 144-byte raw pictures: small files, many limits to try

// Writes up to `frames` frames under a write limit (0: none); answers the
// frames the writer took and whether the release completed the file.
struct LimitedRun {
    int taken = 0;
    bool completed = false;
};
LimitedRun write_limited(const std::string& path, int frames, std::uint64_t limit) {
    avifile_set_write_limit(limit);
    LimitedRun run;
    {
        Writer wr(path, kTinyW, kTinyH, "limited");
        for (; run.taken < frames; ++run.taken)
            if (wr.write(run.taken, testsupport::test_picture(kTinyW, kTinyH, run.taken), is_key(run.taken)) !=
                AVIERR_OK)
                break;
        run.completed = wr.close() == 0;
    }
    avifile_set_write_limit(0);
    return run;
}

// Space running out at any byte of a run leaves the file exactly as a run of
// the frames taken would have left it: complete, indexed, nothing partial.
void space_runs_out_at_every_byte(std::uint64_t riff_limit) {
    TempDir dir;
    constexpr int kFrames = 5;
    avifile_set_riff_limit(riff_limit);
    std::vector<std::string> whole;  // the file of k frames written without a limit
    for (int k = 0; k <= kFrames; ++k) {
        const std::string path = dir.file("whole" + std::to_string(k) + ".avi");
        ASSERT_TRUE(write_limited(path, k, 0).completed);
        whole.push_back(testsupport::read_file(path));
    }
    // What every outcome is compared with is clean for a peer reader.
    for (int k : {1, kFrames}) {
        const std::string path = dir.file("whole" + std::to_string(k) + ".avi");
        EXPECT_EQ(testsupport::ffprobe_complaints(path), "") << k << " frames";
        expect_ffmpeg_pictures(path, k, kTinyW, kTinyH);
    }
    if (riff_limit) {
        ASSERT_NE(whole.back().find("AVIX"), std::string::npos) << "the run never split";
    }
    const std::string path = dir.file("limited.avi");
    std::vector<int> seen(kFrames + 1, 0);
    // Up to what the whole run keeps on disk before it completes (room included).
    const std::uint64_t end = whole.back().size() + 2 * 4096 + 64;
    for (std::uint64_t limit = whole[0].size() - 100; limit <= end; ++limit) {
        const LimitedRun run = write_limited(path, kFrames, limit);
        if (!run.completed) {
            // Only a limit inside the headers leaves nothing to complete.
            ASSERT_EQ(run.taken, 0) << "limit " << limit;
            ASSERT_LT(limit, whole[0].size()) << "limit " << limit;
            continue;
        }
        ++seen[static_cast<std::size_t>(run.taken)];
        ASSERT_EQ(testsupport::read_file(path), whole[static_cast<std::size_t>(run.taken)])
            << "limit " << limit << ", " << run.taken << " frames taken";
    }
    for (int k = 0; k <= kFrames; ++k) EXPECT_GT(seen[static_cast<std::size_t>(k)], 0) << k << " frames";
    avifile_set_riff_limit(0);
}

TEST(AviWrite, SpaceRunningOutAtAnyByteLeavesACompleteFile) {
    space_runs_out_at_every_byte(0);
    // Split into AVIX parts every few frames: room for the split comes first.
    space_runs_out_at_every_byte(5000);
}

// A writer killed mid-run leaves every frame it wrote readable.
void killed_writer_keeps_frames(std::uint64_t riff_limit, int frames_before_kill) {
    TempDir dir;
    std::string path = dir.file("killed.avi");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        avifile_set_riff_limit(riff_limit);
        PAVIFILE f = nullptr;
        PAVISTREAM s = nullptr;
        if (AVIFileOpenA(&f, path.c_str(), OF_WRITE | OF_CREATE, nullptr) != AVIERR_OK) _exit(2);
        AVISTREAMINFOA si = video_info(kW, kH, 25, 1, "killed");
        BITMAPINFOHEADER bi = raw_format(kW, kH);
        AVIFileCreateStreamA(f, &s, &si);
        AVIStreamSetFormat(s, 0, &bi, sizeof bi);
        for (int n = 0;; ++n) {
            auto pic = testsupport::test_picture(kW, kH, n);
            if (AVIStreamWrite(s, n, 1, pic.data(), static_cast<LONG>(pic.size()), is_key(n) ? AVIIF_KEYFRAME : 0,
                               nullptr, nullptr) != AVIERR_OK)
                _exit(3);
            char c = 1;
            if (write(ready[1], &c, 1) != 1) _exit(4);
            if (n + 1 >= frames_before_kill) pause();  // wait to be killed
        }
    }
    close(ready[1]);
    int got = 0;
    char c;
    while (got < frames_before_kill && read(ready[0], &c, 1) == 1) ++got;
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(ready[0]);
    ASSERT_EQ(got, frames_before_kill);
    ASSERT_TRUE(WIFSIGNALED(status));

    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(path), frames_before_kill);
    expect_ffmpeg_pictures(path, frames_before_kill);
    bool ok = false;
    AVISTREAMINFOA si = read_info(path, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(si.dwLength, static_cast<DWORD>(frames_before_kill));
}

TEST(AviWrite, KilledWriterLeavesEveryWrittenFrame) {
    killed_writer_keeps_frames(0, 23);
    killed_writer_keeps_frames(64 * 1024, 45);  // killed in its fifth or so RIFF part
}

// Past 1 GiB the file continues as OpenDML and nothing is lost.
TEST(AviWrite, FileLargerThanOneGibibyte) {
    TempDir dir;
    std::string path = dir.file("big.avi");
    constexpr int w = 1920, h = 1080;
    constexpr int frames = 190;  // 6 MiB each: about 1.1 GiB
    {
        Writer wr(path, w, h, "big");
        std::vector<std::uint8_t> pic(static_cast<std::size_t>(w) * h * 3);
        for (int n = 0; n < frames; ++n) {
            std::memset(pic.data(), n, pic.size());
            ASSERT_EQ(wr.write(n, pic, is_key(n)), AVIERR_OK);
        }
        ASSERT_EQ(wr.close(), 0u);
    }
    EXPECT_GT(std::filesystem::file_size(path), 1ull << 30);
    EXPECT_EQ(testsupport::ffprobe_complaints(path), "");
    EXPECT_EQ(testsupport::ffprobe_key_flags(path).size(), static_cast<std::size_t>(frames));
    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(path), frames);
    bool ok = false;
    EXPECT_EQ(read_info(path, &ok).dwLength, static_cast<DWORD>(frames));
    EXPECT_TRUE(ok);
}

}  // namespace
