// The AVI writer, checked by ffprobe/ffmpeg as an independent reader and by our own reader.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/avifile/avifile.h"
#include "platform/avifile/avifile_testing.h"
#include "tests/support/avi_craft.h"
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

// A UTF-16 name is the file of its UTF-8 name, whatever its characters (here
// beyond the Basic Multilingual Plane too), for writing and for reading; one
// with an unpaired surrogate is no name and makes no file.
TEST(AviWrite, WideNamesAreTheFilesOfTheirUtf8) {
    TempDir dir;
    std::u16string folder;  // the folder's name is ASCII: each character one unit
    for (char c : dir.path()) folder += static_cast<char16_t>(c);
    struct Case {
        const char16_t* name;
        const char* utf8;
    };
    for (const Case& c : {Case{u"/plain.avi", "/plain.avi"}, Case{u"/動画.avi", "/動画.avi"},
                          Case{u"/\xD842\xDFB7\xD83D\xDE00.avi", "/\U00020BB7\U0001F600.avi"}}) {
        const std::u16string name = folder + c.name;
        PAVIFILE f = nullptr;
        PAVISTREAM s = nullptr;
        ASSERT_EQ(AVIFileOpenW(&f, name.c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK) << c.utf8;
        AVISTREAMINFOA si = video_info(kW, kH, 25, 1, "");
        BITMAPINFOHEADER bi = raw_format(kW, kH);
        ASSERT_EQ(AVIFileCreateStreamA(f, &s, &si), AVIERR_OK);
        ASSERT_EQ(AVIStreamSetFormat(s, 0, &bi, sizeof bi), AVIERR_OK);
        for (int n = 0; n < 3; ++n) {
            std::vector<std::uint8_t> picture = testsupport::test_picture(kW, kH, n);
            ASSERT_EQ(AVIStreamWrite(s, n, 1, picture.data(), static_cast<LONG>(picture.size()), AVIIF_KEYFRAME,
                                     nullptr, nullptr),
                      AVIERR_OK);
        }
        AVIStreamRelease(s);
        ASSERT_EQ(AVIFileRelease(f), 0u);
        expect_ffmpeg_pictures(dir.path() + c.utf8, 3);

        ASSERT_EQ(AVIFileOpenW(&f, name.c_str(), OF_READ, nullptr), AVIERR_OK) << c.utf8;
        ASSERT_EQ(AVIFileGetStream(f, &s, streamtypeVIDEO, 0), AVIERR_OK);
        ASSERT_EQ(AVIStreamInfoA(s, &si, sizeof si), AVIERR_OK);
        EXPECT_EQ(si.dwLength, 3u) << c.utf8;
        AVIStreamRelease(s);
        AVIFileRelease(f);
    }
    for (const char16_t* bad : {u"/\xD842.avi", u"/\xDFB7.avi", u"/x.avi\xD83D"}) {
        PAVIFILE f = reinterpret_cast<PAVIFILE>(1);
        EXPECT_EQ(AVIFileOpenW(&f, (folder + bad).c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_BADPARAM);
        EXPECT_EQ(f, nullptr);
    }
    // Nothing made: the three files above alone.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3);
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

// Bytes that look like nothing in particular, the same for the same seed.
std::string noise(std::size_t n, std::uint32_t seed) {
    std::string s(n, '\0');
    for (char& c : s) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return s;
}

constexpr int kTinyW = 8, kTinyH = 6;  // 144-byte raw pictures: small files, many limits to try

// Writes up to `frames` chunks under a write limit (0: none): frames, or
// with audio an audio chunk (8-bit PCM, odd sizes) before each frame.
// Answers the chunks the writer took and whether the release completed the file.
struct LimitedRun {
    int taken = 0;
    bool completed = false;
};
LimitedRun write_limited(const std::string& path, int frames, std::uint64_t limit, bool audio = false) {
    avifile_set_write_limit(limit);
    LimitedRun run;
    {
        Writer wr(path, kTinyW, kTinyH, "limited");
        PAVISTREAM sound = nullptr;
        if (audio) {
            AVISTREAMINFOA si{};
            si.fccType = streamtypeAUDIO;
            si.dwScale = 1;
            si.dwRate = 8000;
            si.dwSampleSize = 1;
            WAVEFORMATEX f{WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
            EXPECT_EQ(AVIFileCreateStreamA(wr.file, &sound, &si), AVIERR_OK);
            EXPECT_EQ(AVIStreamSetFormat(sound, 0, &f, sizeof f), AVIERR_OK);
        }
        for (int frame = 0; run.taken < frames; ++run.taken) {
            if (audio && run.taken % 2 == 0) {
                const std::string pcm = noise(99 + run.taken, static_cast<std::uint32_t>(run.taken));
                if (AVIStreamWrite(sound, -1, static_cast<LONG>(pcm.size()), const_cast<char*>(pcm.data()),
                                   static_cast<LONG>(pcm.size()), 0, nullptr, nullptr) != AVIERR_OK)
                    break;
                continue;
            }
            if (wr.write(frame, testsupport::test_picture(kTinyW, kTinyH, frame), is_key(frame)) != AVIERR_OK) break;
            ++frame;
        }
        ULONG left = sound ? AVIStreamRelease(sound) : 0;
        run.completed = (wr.close() | left) == 0;
    }
    avifile_set_write_limit(0);
    return run;
}

// Space running out at any byte of a run leaves the file exactly as a run of
// the frames taken would have left it: complete, indexed, nothing partial.
void space_runs_out_at_every_byte(std::uint64_t riff_limit, bool audio = false) {
    TempDir dir;
    constexpr int kFrames = 5;
    avifile_set_riff_limit(riff_limit);
    std::vector<std::string> whole;  // the file of k frames written without a limit
    for (int k = 0; k <= kFrames; ++k) {
        const std::string path = dir.file("whole" + std::to_string(k) + ".avi");
        ASSERT_TRUE(write_limited(path, k, 0, audio).completed);
        whole.push_back(testsupport::read_file(path));
    }
    // What every outcome is compared with is clean for a peer reader.
    for (int k : {1, kFrames}) {
        const std::string path = dir.file("whole" + std::to_string(k) + ".avi");
        EXPECT_EQ(testsupport::ffprobe_complaints(path), "") << k << " frames";
        expect_ffmpeg_pictures(path, audio ? k / 2 : k, kTinyW, kTinyH);
    }
    if (riff_limit) {
        ASSERT_NE(whole.back().find("AVIX"), std::string::npos) << "the run never split";
    }
    const std::string path = dir.file("limited.avi");
    std::vector<int> seen(kFrames + 1, 0);
    // Up to what the whole run keeps on disk before it completes (room included).
    const std::uint64_t end = whole.back().size() + 2 * 4096 + 64;
    for (std::uint64_t limit = whole[0].size() - 100; limit <= end; ++limit) {
        const LimitedRun run = write_limited(path, kFrames, limit, audio);
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
    // With audio chunks between the frames: a chunk of either stream is
    // all there or not at all, and the file is complete.
    space_runs_out_at_every_byte(0, true);
    space_runs_out_at_every_byte(5000, true);
}

// A writer killed mid-run leaves every frame it wrote readable, and with
// audio (an odd-sized chunk of 8-bit PCM ahead of each frame) every chunk.
void killed_writer_keeps_frames(std::uint64_t riff_limit, int frames_before_kill, bool audio = false) {
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
        PAVISTREAM sound = nullptr;
        AVISTREAMINFOA ai{};
        ai.fccType = streamtypeAUDIO;
        ai.dwScale = 1;
        ai.dwRate = 8000;
        ai.dwSampleSize = 1;
        WAVEFORMATEX wf{WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
        if (audio) {
            AVIFileCreateStreamA(f, &sound, &ai);
            AVIStreamSetFormat(sound, 0, &wf, sizeof wf);
        }
        for (int n = 0;; ++n) {
            const std::string pcm = noise(321, static_cast<std::uint32_t>(n));
            if (audio && AVIStreamWrite(sound, -1, 321, const_cast<char*>(pcm.data()), 321, 0, nullptr, nullptr) !=
                             AVIERR_OK)
                _exit(5);
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
    if (!audio) return;
    std::string pcm;
    for (int n = 0; n < frames_before_kill; ++n) pcm += noise(321, static_cast<std::uint32_t>(n));
    EXPECT_TRUE(testsupport::ffmpeg_packet_data(path, "a:0") == pcm);
    PAVIFILE f = nullptr;
    PAVISTREAM sound = nullptr;
    ASSERT_EQ(AVIFileOpenA(&f, path.c_str(), OF_READ, nullptr), AVIERR_OK);
    ASSERT_EQ(AVIFileGetStream(f, &sound, streamtypeAUDIO, 0), AVIERR_OK);
    AVIStreamRelease(sound);
    ASSERT_EQ(AVIStreamInfoA(sound, &si, sizeof si), AVIERR_OK);
    EXPECT_EQ(si.dwLength, pcm.size()) << "counted: the header has none yet";
    std::string back(pcm.size(), '\0');
    LONG bytes = 0;
    EXPECT_EQ(AVIStreamRead(sound, 0, static_cast<LONG>(pcm.size()), back.data(), static_cast<LONG>(back.size()), &bytes,
                            nullptr),
              AVIERR_OK);
    EXPECT_TRUE(back == pcm);
    AVIFileRelease(f);
}

TEST(AviWrite, KilledWriterLeavesEveryWrittenFrame) {
    killed_writer_keeps_frames(0, 23);
    killed_writer_keeps_frames(64 * 1024, 45);  // killed in its fifth or so RIFF part
    killed_writer_keeps_frames(0, 23, true);
    killed_writer_keeps_frames(64 * 1024, 45, true);
}

// --- Audio beside the video -------------------------------------------------

std::uint32_t get32(const std::string& s, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}

// The ids of the chunks of each RIFF's movi list, in file order.
std::vector<std::vector<std::string>> riff_chunk_ids(const std::string& file) {
    std::vector<std::vector<std::string>> parts;
    for (std::size_t riff = 0; riff + 12 <= file.size() && file.compare(riff, 4, "RIFF") == 0;
         riff += 8 + get32(file, riff + 4)) {
        std::vector<std::string>& ids = parts.emplace_back();
        const std::size_t riff_end = std::min<std::size_t>(riff + 8 + get32(file, riff + 4), file.size());
        for (std::size_t at = riff + 12; at + 12 <= riff_end; at += 8 + ((get32(file, at + 4) + 1) & ~1u)) {
            if (file.compare(at, 4, "LIST") != 0 || file.compare(at + 8, 4, "movi") != 0) continue;
            const std::size_t end = at + 8 + get32(file, at + 4);
            for (std::size_t c = at + 12; c + 8 <= end; c += 8 + ((get32(file, c + 4) + 1) & ~1u))
                ids.push_back(file.substr(c, 4));
        }
    }
    return parts;
}

// The same, every part's chunks in one list, index chunks and JUNK left out.
std::vector<std::string> movi_chunk_ids(const std::string& file) {
    std::vector<std::string> ids;
    for (const auto& part : riff_chunk_ids(file))
        for (const std::string& id : part)
            if (id.compare(0, 2, "ix") != 0 && id != "JUNK") ids.push_back(id);
    return ids;
}

std::size_t count_of(const std::string& bytes, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = bytes.find(what); at != std::string::npos; at = bytes.find(what, at + 1)) ++n;
    return n;
}

// One audio stream as a front end hands it over: its header, its format and
// its chunks, each with the samples it counts.
struct AudioChunk {
    std::string data;
    LONG samples;
};
struct AudioStream {
    AVISTREAMINFOA info{};
    std::string format;
    std::vector<AudioChunk> chunks;
    std::string bytes() const {
        std::string all;
        for (const AudioChunk& c : chunks) all += c.data;
        return all;
    }
};


// 48 kHz 16-bit stereo PCM starting 10 ms late: a 500 ms lead, then a
// frame's worth (1920 samples) a chunk.
AudioStream pcm_stream(double seconds) {
    AudioStream a;
    a.info.fccType = streamtypeAUDIO;
    a.info.dwScale = 4;
    a.info.dwRate = 192000;
    a.info.dwSampleSize = 4;
    a.info.dwStart = 480;
    a.info.dwQuality = static_cast<DWORD>(-1);
    std::snprintf(a.info.szName, sizeof a.info.szName, "PCM audio");
    WAVEFORMATEX f{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
    a.format.assign(reinterpret_cast<const char*>(&f), sizeof f);
    const LONG total = static_cast<LONG>(seconds * 48000) - 480;
    for (LONG done = 0, n = 24000; done < total; done += n, n = 1920) {
        n = std::min(n, total - done);
        a.chunks.push_back({noise(4 * static_cast<std::size_t>(n), static_cast<std::uint32_t>(done)), n});
    }
    return a;
}

// 128 kbit/s MP3 at 48 kHz, a frame a chunk: as VirtualDub and our encoder
// write CBR (sample size 1, bytes for samples) or as ffmpeg writes it
// (no sample size, a frame a sample); start in the stream's samples.
AudioStream mp3_stream(const std::vector<std::string>& frames, bool vbr_style, DWORD start) {
    AudioStream a;
    a.info.fccType = streamtypeAUDIO;
    a.info.dwScale = vbr_style ? 1152 : 1;
    a.info.dwRate = vbr_style ? 48000 : 16000;
    a.info.dwSampleSize = vbr_style ? 0 : 1;
    a.info.dwStart = start;
    a.info.dwQuality = static_cast<DWORD>(-1);
    std::snprintf(a.info.szName, sizeof a.info.szName, "MP3 audio");
    MPEGLAYER3WAVEFORMAT f{};
    f.wfx = WAVEFORMATEX{WAVE_FORMAT_MPEGLAYER3, 1, 48000, 16000, static_cast<WORD>(vbr_style ? 1152 : 1), 0,
                         MPEGLAYER3_WFX_EXTRA_BYTES};
    f.wID = MPEGLAYER3_ID_MPEG;
    f.fdwFlags = MPEGLAYER3_FLAG_PADDING_OFF;
    f.nBlockSize = static_cast<WORD>(vbr_style ? 1152 : 384);  // ffmpeg's, VirtualDub's
    f.nFramesPerBlock = 1;
    f.nCodecDelay = 1393;
    a.format.assign(reinterpret_cast<const char*>(&f), sizeof f);
    for (const std::string& frame : frames)
        a.chunks.push_back({frame, vbr_style ? 1 : static_cast<LONG>(frame.size())});
    return a;
}

struct AudioCase {
    const char* name;
    bool mp3_vbr_style;
    DWORD mp3_start;
    std::uint64_t riff_limit;  // 0: the default
};

constexpr int kAudioFrames = 50;  // 2 s at 25 frames a second

// Writes 50 raw frames and the streams, interleaved as the engine does it:
// the audio that starts before half a second past the end of a frame's
// interval goes ahead of that frame; what is left follows the last frame.
// Answers the chunk ids in the order of the writes.
std::vector<std::string> write_with_audio(const std::string& path, std::vector<AudioStream>& audio, bool* ok) {
    std::vector<std::string> order;
    *ok = false;
    Writer wr(path, kW, kH, "video");
    if (wr.open_result != AVIERR_OK) return order;
    std::vector<PAVISTREAM> streams;
    for (AudioStream& a : audio) {
        PAVISTREAM s = nullptr;
        EXPECT_EQ(AVIFileCreateStreamA(wr.file, &s, &a.info), AVIERR_OK);
        EXPECT_EQ(AVIStreamSetFormat(s, 0, a.format.data(), static_cast<LONG>(a.format.size())), AVIERR_OK);
        streams.push_back(s);
    }
    std::vector<std::size_t> next(audio.size(), 0);
    std::vector<std::uint64_t> position(audio.size(), 0);
    auto write_audio_until = [&](double seconds) {
        for (std::size_t i = 0; i < audio.size(); ++i) {
            const AVISTREAMINFOA& si = audio[i].info;
            while (next[i] < audio[i].chunks.size() &&
                   static_cast<double>(si.dwStart + position[i]) * si.dwScale / si.dwRate < seconds) {
                AudioChunk& c = audio[i].chunks[next[i]++];
                LONG written = -1, bytes = -1;
                EXPECT_EQ(AVIStreamWrite(streams[i], -1, c.samples, c.data.data(), static_cast<LONG>(c.data.size()), 0,
                                         &written, &bytes),
                          AVIERR_OK);
                EXPECT_EQ(written, c.samples);
                EXPECT_EQ(bytes, static_cast<LONG>(c.data.size()));
                position[i] += static_cast<std::uint64_t>(c.samples);
                order.push_back("0" + std::to_string(i + 1) + "wb");
            }
        }
    };
    for (int n = 0; n < kAudioFrames; ++n) {
        write_audio_until((n + 1) / 25.0 + 0.5);
        EXPECT_EQ(wr.write(n, testsupport::test_picture(kW, kH, n), true), AVIERR_OK);
        order.push_back("00db");
    }
    write_audio_until(1e9);
    // A stream can't be added once the headers are laid out.
    PAVISTREAM late = nullptr;
    EXPECT_EQ(AVIFileCreateStreamA(wr.file, &late, &audio[0].info), AVIERR_UNSUPPORTED);
    ULONG left = 0;
    for (PAVISTREAM s : streams) left |= AVIStreamRelease(s);
    *ok = (wr.close() | left) == 0;
    return order;
}

class AviWriteAudio : public ::testing::TestWithParam<AudioCase> {};

// Audio streams beside the video: chunks in the order of the writes, every
// chunk indexed (in each part past the RIFF limit), headers as given, and
// the same packets for ffmpeg and our reader as were written.
TEST_P(AviWriteAudio, StreamsAreWrittenAsGivenAndReadBackWhole) {
    const AudioCase& c = GetParam();
    TempDir dir;
    const std::string mp3 = dir.file("clip.mp3");
    if (!testsupport::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000:duration=2.2", "-c:a",
                              "libmp3lame", "-b:a", "128k", "-write_xing", "0", "-id3v2_version", "0", "-f", "mp3",
                              mp3}))
        GTEST_SKIP() << "no MP3 encoder in this ffmpeg";
    const std::vector<std::string> frames = testsupport::mp3_frames(testsupport::read_file(mp3));
    ASSERT_GT(frames.size(), 80u);
    std::vector<AudioStream> audio = {pcm_stream(2.0), mp3_stream(frames, c.mp3_vbr_style, c.mp3_start)};

    const std::string path = dir.file("audio.avi");
    avifile_set_riff_limit(c.riff_limit);
    bool written = false;
    const std::vector<std::string> order = write_with_audio(path, audio, &written);
    avifile_set_riff_limit(0);
    ASSERT_TRUE(written);
    const std::string bytes = testsupport::read_file(path);

    // The file as a peer reader sees it.
    EXPECT_EQ(testsupport::ffprobe_complaints(path), "");
    EXPECT_EQ(movi_chunk_ids(bytes), order);
    expect_ffmpeg_pictures(path, kAudioFrames);
    EXPECT_EQ(testsupport::ffprobe_first_packet_time(path, "a:0"), "0.010000");
    const double mp3_start = static_cast<double>(c.mp3_start) * audio[1].info.dwScale / audio[1].info.dwRate;
    char start[32];
    std::snprintf(start, sizeof start, "%.6f", mp3_start);
    EXPECT_EQ(testsupport::ffprobe_first_packet_time(path, "a:1"), start);
    EXPECT_EQ(testsupport::ffprobe_field(path, "a:0", "stream_tags=title"), "PCM audio");
    EXPECT_EQ(testsupport::ffprobe_field(path, "a:1", "stream_tags=title"), "MP3 audio");
    for (std::size_t i = 0; i < audio.size(); ++i) {
        const std::string selector = "a:" + std::to_string(i);
        EXPECT_TRUE(testsupport::ffmpeg_packet_data(path, selector) == audio[i].bytes()) << selector;
    }
    std::vector<std::uint32_t> sizes;
    for (const AudioChunk& chunk : audio[1].chunks) sizes.push_back(static_cast<std::uint32_t>(chunk.data.size()));
    EXPECT_EQ(testsupport::ffprobe_packet_sizes(path, "a:1"), sizes) << "an MP3 chunk is a packet";
    if (c.mp3_vbr_style && c.mp3_start == 0) {
        // Packets and their times as in the file ffmpeg makes of the same MP3.
        const std::string reference = dir.file("reference.avi");
        ASSERT_TRUE(testsupport::ffmpeg({"-i", mp3, "-c:a", "copy", reference}));
        const std::string ours = testsupport::ffmpeg_framemd5(path, "a:1");
        EXPECT_NE(ours, "");
        EXPECT_EQ(ours, testsupport::ffmpeg_framemd5(reference, "a:0"));
    }

    // Headers: avih counts every stream, the largest chunk of any and the
    // frames; idx1 lists every chunk of the first RIFF, audio as key frames.
    const std::size_t avih = bytes.find("avih") + 8;
    std::uint32_t largest = static_cast<std::uint32_t>(kW * kH * 3);
    for (const AudioStream& a : audio)
        for (const AudioChunk& chunk : a.chunks) largest = std::max(largest, static_cast<std::uint32_t>(chunk.data.size()));
    EXPECT_EQ(get32(bytes, avih + 24), 3u) << "streams";
    EXPECT_NE(get32(bytes, avih + 12) & 0x100u, 0u) << "AVIF_ISINTERLEAVED";
    EXPECT_EQ(get32(bytes, avih + 28), largest) << "suggested buffer size";
    const std::size_t idx1 = bytes.rfind("idx1");
    ASSERT_NE(idx1, std::string::npos);
    std::vector<std::string> first_riff = movi_chunk_ids(bytes.substr(0, get32(bytes, 4) + 8));
    ASSERT_EQ(get32(bytes, idx1 + 4), 16 * first_riff.size());
    for (std::size_t i = 0; i < first_riff.size(); ++i) {
        ASSERT_EQ(bytes.substr(idx1 + 8 + 16 * i, 4), first_riff[i]) << i;
        if (first_riff[i].compare(2, 2, "wb") == 0) {
            ASSERT_EQ(get32(bytes, idx1 + 8 + 16 * i + 4), 0x10u) << i;
        }
    }
    if (c.riff_limit) {
        // Each part has an ix## for each stream it holds chunks of, behind them.
        const auto parts = riff_chunk_ids(bytes);
        EXPECT_GE(parts.size(), 4u);
        EXPECT_EQ(count_of(bytes, "indx"), 3u) << "a super index for each stream";
        for (std::size_t p = 0; p < parts.size(); ++p)
            for (const char* stream : {"00", "01", "02"}) {
                const auto& ids = parts[p];
                const auto ix = std::find(ids.begin(), ids.end(), std::string("ix") + stream);
                const bool chunks = std::find_if(ids.begin(), ids.end(), [&](const std::string& id) {
                                        return id.compare(0, 2, stream) == 0;
                                    }) != ids.end();
                EXPECT_EQ(ix != ids.end(), chunks) << "part " << p << ", stream " << stream;
                EXPECT_TRUE(std::find_if(ix, ids.end(), [&](const std::string& id) {
                                return id.compare(0, 2, stream) == 0;
                            }) == ids.end());
            }
        EXPECT_EQ(get32(bytes, bytes.find("dmlh") + 8), static_cast<std::uint32_t>(kAudioFrames));
    } else {
        EXPECT_EQ(get32(bytes, avih + 16), static_cast<std::uint32_t>(kAudioFrames)) << "total frames";
    }

    // Our reader: each stream's header as given, its length the samples
    // written; chunk by chunk the bytes written; PCM also across chunks.
    PAVIFILE f = nullptr;
    ASSERT_EQ(AVIFileOpenA(&f, path.c_str(), OF_READ, nullptr), AVIERR_OK);
    for (std::size_t i = 0; i < audio.size(); ++i) {
        SCOPED_TRACE("audio stream " + std::to_string(i));
        const AudioStream& a = audio[i];
        PAVISTREAM s = nullptr;
        ASSERT_EQ(AVIFileGetStream(f, &s, streamtypeAUDIO, static_cast<LONG>(i)), AVIERR_OK);
        AVISTREAMINFOA si{};
        ASSERT_EQ(AVIStreamInfoA(s, &si, sizeof si), AVIERR_OK);
        EXPECT_EQ(si.fccType, streamtypeAUDIO);
        EXPECT_EQ(si.dwScale, a.info.dwScale);
        EXPECT_EQ(si.dwRate, a.info.dwRate);
        EXPECT_EQ(si.dwStart, a.info.dwStart);
        EXPECT_EQ(si.dwSampleSize, a.info.dwSampleSize);
        EXPECT_STREQ(si.szName, a.info.szName);
        std::uint64_t length = 0;
        std::uint32_t biggest = 0;
        for (const AudioChunk& chunk : a.chunks) {
            length += static_cast<std::uint64_t>(chunk.samples);
            biggest = std::max(biggest, static_cast<std::uint32_t>(chunk.data.size()));
        }
        EXPECT_EQ(si.dwLength, length);
        EXPECT_EQ(si.dwSuggestedBufferSize, biggest);
        std::string format(64, '\0');
        LONG format_size = static_cast<LONG>(format.size());
        ASSERT_EQ(AVIStreamReadFormat(s, 0, format.data(), &format_size), AVIERR_OK);
        EXPECT_TRUE(format.substr(0, static_cast<std::size_t>(format_size)) == a.format);
        LONG at = static_cast<LONG>(si.dwStart);
        std::string data;
        for (const AudioChunk& chunk : a.chunks) {
            LONG bytes_read = -1, samples = -1;
            ASSERT_EQ(AVIStreamRead(s, at, AVISTREAMREAD_CONVENIENT, nullptr, 0, &bytes_read, &samples), AVIERR_OK);
            ASSERT_EQ(bytes_read, static_cast<LONG>(chunk.data.size()));
            data.assign(static_cast<std::size_t>(bytes_read), '\0');
            ASSERT_EQ(AVIStreamRead(s, at, AVISTREAMREAD_CONVENIENT, data.data(), bytes_read, &bytes_read, &samples),
                      AVIERR_OK);
            ASSERT_EQ(samples, chunk.samples);
            ASSERT_TRUE(data == chunk.data) << "chunk at " << at;
            at += samples;
        }
        EXPECT_EQ(AVIStreamRead(s, at, AVISTREAMREAD_CONVENIENT, nullptr, 0, nullptr, nullptr), AVIERR_NODATA);
        AVIStreamRelease(s);
    }
    // PCM from 10 ms before the lead's end on, over two chunk boundaries.
    PAVISTREAM pcm = nullptr;
    ASSERT_EQ(AVIFileGetStream(f, &pcm, streamtypeAUDIO, 0), AVIERR_OK);
    std::string span(4 * 3000, '\0');
    LONG bytes_read = -1, samples = -1;
    ASSERT_EQ(AVIStreamRead(pcm, 480 + 23520, 3000, span.data(), static_cast<LONG>(span.size()), &bytes_read, &samples),
              AVIERR_OK);
    EXPECT_EQ(samples, 3000);
    EXPECT_EQ(bytes_read, 12000);
    EXPECT_TRUE(span == audio[0].bytes().substr(4 * 23520, 12000));
    AVIStreamRelease(pcm);
    AVIFileRelease(f);
}

INSTANTIATE_TEST_SUITE_P(Streams, AviWriteAudio,
                         ::testing::Values(AudioCase{"pcm_and_mp3_of_sample_size_1", false, 160, 0},
                                           AudioCase{"pcm_and_mp3_a_frame_a_sample", true, 0, 0},
                                           AudioCase{"pcm_and_mp3_starting_late", true, 2, 0},
                                           AudioCase{"several_riff_parts", false, 160, 200 * 1024}),
                         [](const ::testing::TestParamInfo<AudioCase>& info) { return std::string(info.param.name); });

// Past 1 GiB the file continues as OpenDML and nothing is lost, of the
// video or of the audio beside it.
TEST(AviWrite, FileLargerThanOneGibibyte) {
    TempDir dir;
    std::string path = dir.file("big.avi");
    constexpr int w = 1920, h = 1080;
    constexpr int frames = 190;  // 6 MiB each: about 1.1 GiB
    // 16-bit stereo at 25600 Hz: 4096 bytes a frame, which ffmpeg reads as one packet.
    AudioStream pcm;
    pcm.info.fccType = streamtypeAUDIO;
    pcm.info.dwScale = 4;
    pcm.info.dwRate = 102400;
    pcm.info.dwSampleSize = 4;
    WAVEFORMATEX f{WAVE_FORMAT_PCM, 2, 25600, 102400, 4, 16, 0};
    std::string last_chunk;
    {
        Writer wr(path, w, h, "big");
        PAVISTREAM sound = nullptr;
        ASSERT_EQ(AVIFileCreateStreamA(wr.file, &sound, &pcm.info), AVIERR_OK);
        ASSERT_EQ(AVIStreamSetFormat(sound, 0, &f, sizeof f), AVIERR_OK);
        std::vector<std::uint8_t> pic(static_cast<std::size_t>(w) * h * 3);
        for (int n = 0; n < frames; ++n) {
            last_chunk = noise(4096, static_cast<std::uint32_t>(n));
            ASSERT_EQ(AVIStreamWrite(sound, -1, 1024, last_chunk.data(), 4096, 0, nullptr, nullptr), AVIERR_OK);
            std::memset(pic.data(), n, pic.size());
            ASSERT_EQ(wr.write(n, pic, is_key(n)), AVIERR_OK);
        }
        ASSERT_EQ(AVIStreamRelease(sound), 0u);
        ASSERT_EQ(wr.close(), 0u);
    }
    EXPECT_GT(std::filesystem::file_size(path), 1ull << 30);
    EXPECT_EQ(testsupport::ffprobe_complaints(path), "");
    EXPECT_EQ(testsupport::ffprobe_key_flags(path).size(), static_cast<std::size_t>(frames));
    EXPECT_EQ(testsupport::ffmpeg_decoded_frames(path), frames);
    EXPECT_EQ(testsupport::ffprobe_packet_count(path, "v:0"), frames);
    EXPECT_EQ(testsupport::ffprobe_packet_count(path, "a:0"), frames);
    bool ok = false;
    EXPECT_EQ(read_info(path, &ok).dwLength, static_cast<DWORD>(frames));
    EXPECT_TRUE(ok);
    // Our reader finds the audio of the last part too.
    PAVIFILE file = nullptr;
    PAVISTREAM sound = nullptr;
    ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_READ, nullptr), AVIERR_OK);
    ASSERT_EQ(AVIFileGetStream(file, &sound, streamtypeAUDIO, 0), AVIERR_OK);
    AVISTREAMINFOA si{};
    ASSERT_EQ(AVIStreamInfoA(sound, &si, sizeof si), AVIERR_OK);
    EXPECT_EQ(si.dwLength, 1024u * frames);
    std::string data(4096, '\0');
    LONG bytes = 0, samples = 0;
    ASSERT_EQ(AVIStreamRead(sound, 1024 * (frames - 1), AVISTREAMREAD_CONVENIENT, data.data(), 4096, &bytes, &samples),
              AVIERR_OK);
    EXPECT_EQ(samples, 1024);
    EXPECT_TRUE(data == last_chunk);
    EXPECT_EQ(AVIStreamRead(sound, 1024 * frames, 1, data.data(), 4096, &bytes, &samples), AVIERR_NODATA);
    AVIStreamRelease(sound);
    AVIFileRelease(file);
}

}  // namespace
