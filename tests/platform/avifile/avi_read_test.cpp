// The AVI reader and its frame decoder: seeking and the messages a codec
// receives (with a scripted driver), and files laid out by hand the way other
// writers lay them out.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/avifile/avifile.h"
#include "platform/avifile/avifile_testing.h"
#include "platform/icm/icm.h"
#include "tests/support/support.h"
#include "tests/support/dib.h"

namespace {

using testsupport::TempDir;

constexpr DWORD kMark = mmioFOURCC('M', 'A', 'R', 'K');
constexpr int kW = 16;
constexpr int kH = 8;

// A codec that "decodes" a frame by filling the picture with the frame's first
// byte, and records what it was asked.
struct DecodeCall {
    DWORD flags;
    int marker;
    DWORD size;
};
std::vector<DecodeCall> g_decodes;
int g_begins = 0;
int g_fail_marker = -1;
int g_dontdraw_marker = -1;
BITMAPINFOHEADER g_begin_in{}, g_begin_out{};

LRESULT CALLBACK marker_proc(DWORD_PTR, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
    switch (msg) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_OPEN:
    case DRV_CLOSE:
    case DRV_DISABLE:
    case DRV_FREE:
        return 1;
    case ICM_DECOMPRESS_BEGIN:
        ++g_begins;
        g_begin_in = *reinterpret_cast<BITMAPINFOHEADER*>(p1);
        g_begin_out = *reinterpret_cast<BITMAPINFOHEADER*>(p2);
        return ICERR_OK;
    case ICM_DECOMPRESS: {
        auto* d = reinterpret_cast<ICDECOMPRESS*>(p1);
        int marker = static_cast<const std::uint8_t*>(d->lpInput)[0];
        g_decodes.push_back({d->dwFlags, marker, d->lpbiInput->biSizeImage});
        if (marker == g_fail_marker) return ICERR_ERROR;
        if (marker == g_dontdraw_marker) return ICERR_DONTDRAW;  // nothing to show (yet)
        std::memset(d->lpOutput, marker, d->lpbiOutput->biSizeImage);
        return ICERR_OK;
    }
    case ICM_DECOMPRESS_END:
        return ICERR_OK;
    default:
        (void)p2;
        return ICERR_UNSUPPORTED;
    }
}

struct MarkerCodec {
    MarkerCodec() {
        ICInstall(ICTYPE_VIDEO, kMark, reinterpret_cast<LPARAM>(&marker_proc), nullptr, ICINSTALL_FUNCTION);
        g_decodes.clear();
        g_begins = 0;
        g_fail_marker = -1;
        g_dontdraw_marker = -1;
    }
};

BITMAPINFOHEADER mark_format() { return testsupport::dib_header(kW, kH, kMark); }

// Frame n holds n, then n % 3 more bytes; key frames every 5; positions 12
// and 13 are left out (empty frames).
std::string write_marker_file(const TempDir& dir, int frames) {
    std::string path = dir.file("mark.avi");
    PAVIFILE f = nullptr;
    PAVISTREAM s = nullptr;
    EXPECT_EQ(AVIFileOpenA(&f, path.c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
    AVISTREAMINFOA si{};
    si.fccType = streamtypeVIDEO;
    si.fccHandler = kMark;
    si.dwRate = 25;
    si.dwScale = 1;
    AVIFileCreateStreamA(f, &s, &si);
    BITMAPINFOHEADER bi = mark_format();
    AVIStreamSetFormat(s, 0, &bi, sizeof bi);
    for (int n = 0; n < frames; ++n) {
        if (n == 12 || n == 13) continue;
        std::vector<std::uint8_t> data(1 + n % 3, static_cast<std::uint8_t>(n));
        EXPECT_EQ(AVIStreamWrite(s, n, 1, data.data(), static_cast<LONG>(data.size()), n % 5 == 0 ? AVIIF_KEYFRAME : 0,
                                 nullptr, nullptr),
                  AVIERR_OK);
    }
    AVIStreamRelease(s);
    EXPECT_EQ(AVIFileRelease(f), 0u);
    return path;
}

struct Reader {
    PAVIFILE file = nullptr;
    PAVISTREAM stream = nullptr;
    PGETFRAME frames = nullptr;
    HRESULT open_result = -1;
    HRESULT stream_result = -1;
    explicit Reader(const std::string& path, bool decoder = true) {
        open_result = AVIFileOpenA(&file, path.c_str(), OF_READ, nullptr);
        if (open_result != AVIERR_OK) return;
        stream_result = AVIFileGetStream(file, &stream, streamtypeVIDEO, 0);
        if (stream_result == AVIERR_OK && decoder) frames = AVIStreamGetFrameOpen(stream, nullptr);
    }
    ~Reader() {
        if (frames) AVIStreamGetFrameClose(frames);
        if (stream) AVIStreamRelease(stream);
        if (file) AVIFileRelease(file);
    }
    // The marker byte of frame n's picture, -1 for no picture.
    int marker(LONG n) {
        auto* bi = static_cast<BITMAPINFOHEADER*>(AVIStreamGetFrame(frames, n));
        if (!bi) return -1;
        return reinterpret_cast<std::uint8_t*>(bi)[bi->biSize];
    }
};

std::vector<int> markers_decoded() {
    std::vector<int> m;
    for (auto& c : g_decodes) m.push_back(c.marker);
    g_decodes.clear();
    return m;
}

TEST(AviRead, SequentialFramesDecodeOnceAndJumpsStartAtKeyFrames) {
    MarkerCodec codec;
    TempDir dir;
    Reader r(write_marker_file(dir, 20));
    ASSERT_NE(r.frames, nullptr);
    EXPECT_EQ(g_begins, 1);
    EXPECT_EQ(g_begin_in.biCompression, kMark);
    EXPECT_EQ(g_begin_out.biBitCount, 24);
    EXPECT_EQ(g_begin_out.biCompression, BI_RGB);
    EXPECT_EQ(g_begin_out.biSizeImage, static_cast<DWORD>(kW * kH * 3));

    for (int n = 0; n < 10; ++n) {
        ASSERT_EQ(r.marker(n), n);
        ASSERT_EQ(g_decodes.size(), 1u) << n;
        EXPECT_EQ(g_decodes[0].flags, n % 5 == 0 ? 0u : ICDECOMPRESS_NOTKEYFRAME);
        EXPECT_EQ(g_decodes[0].size, static_cast<DWORD>(1 + n % 3));  // the codec learns each frame's length
        g_decodes.clear();
    }
    auto* bi = static_cast<BITMAPINFOHEADER*>(AVIStreamGetFrame(r.frames, 9));
    ASSERT_NE(bi, nullptr);
    EXPECT_EQ(bi->biSize, 40u);
    EXPECT_EQ(bi->biWidth, kW);
    EXPECT_EQ(bi->biHeight, kH);
    EXPECT_EQ(bi->biBitCount, 24);
    EXPECT_EQ(bi->biCompression, BI_RGB);
    EXPECT_EQ(bi->biSizeImage, static_cast<DWORD>(kW * kH * 3));
    EXPECT_TRUE(markers_decoded().empty()) << "the same frame again decodes nothing";

    EXPECT_EQ(r.marker(7), 7);
    EXPECT_EQ(markers_decoded(), (std::vector<int>{5, 6, 7}));
    EXPECT_EQ(g_begins, 2) << "a jump back restarts the decoder";
    EXPECT_EQ(r.marker(9), 9);
    EXPECT_EQ(markers_decoded(), (std::vector<int>{8, 9})) << "a jump forward goes on from where it stands";
    EXPECT_EQ(r.marker(3), 3);
    EXPECT_EQ(markers_decoded(), (std::vector<int>{0, 1, 2, 3}));

    // 12 and 13 are empty: they show frame 11.
    EXPECT_EQ(r.marker(12), 11);
    EXPECT_EQ(markers_decoded(), (std::vector<int>{10, 11}));
    EXPECT_EQ(r.marker(13), 11);
    EXPECT_EQ(r.marker(14), 14);
    EXPECT_EQ(markers_decoded(), (std::vector<int>{14}));

    EXPECT_EQ(AVIStreamGetFrame(r.frames, 20), nullptr);
    EXPECT_EQ(AVIStreamGetFrame(r.frames, -1), nullptr);

    // A frame the codec can't decode answers null (again when asked again),
    // while the frame still counts as in the file; the decoder goes on from
    // it to the next frame, as players do, without going back over it.
    g_fail_marker = 16;
    markers_decoded();
    EXPECT_EQ(AVIStreamGetFrame(r.frames, 16), nullptr);
    EXPECT_EQ(AVIStreamGetFrame(r.frames, 16), nullptr);
    EXPECT_EQ(markers_decoded(), (std::vector<int>{15, 16}));
    LONG bytes = -1, samples = -1;
    EXPECT_EQ(AVIStreamRead(r.stream, 16, 1, nullptr, 0, &bytes, &samples), AVIERR_OK);
    EXPECT_EQ(bytes, 1 + 16 % 3);
    EXPECT_EQ(samples, 1);
    EXPECT_EQ(r.marker(17), 17);
    EXPECT_EQ(markers_decoded(), (std::vector<int>{17}));
    g_fail_marker = -1;
    EXPECT_EQ(r.marker(15), 15);
    // Past the end there is no frame to read; an empty frame has 0 bytes.
    EXPECT_EQ(AVIStreamRead(r.stream, 20, 1, nullptr, 0, &bytes, &samples), AVIERR_NODATA);
    EXPECT_EQ(AVIStreamRead(r.stream, 12, 1, nullptr, 0, &bytes, &samples), AVIERR_OK);
    EXPECT_EQ(bytes, 0);
    std::uint8_t data[4] = {};
    EXPECT_EQ(AVIStreamRead(r.stream, 11, 1, data, sizeof data, &bytes, nullptr), AVIERR_OK);
    EXPECT_EQ(bytes, 3);
    EXPECT_EQ(data[0], 11);
    EXPECT_EQ(AVIStreamRead(r.stream, 11, 1, data, 2, &bytes, nullptr), AVIERR_BUFFERTOOSMALL);
}

// A codec with nothing to show for a frame: the picture before it stays;
// before any, the frame is as damaged as one that can't be decoded, never
// a made-up (black) picture.
TEST(AviRead, AFrameTheCodecDoesNotDrawShowsThePictureBeforeOrNone) {
    MarkerCodec codec;
    TempDir dir;
    Reader r(write_marker_file(dir, 20));
    ASSERT_NE(r.frames, nullptr);
    g_dontdraw_marker = 0;
    EXPECT_EQ(r.marker(0), -1);
    EXPECT_EQ(r.marker(1), 1);
    g_dontdraw_marker = 3;
    EXPECT_EQ(r.marker(2), 2);
    EXPECT_EQ(r.marker(3), 2);
    EXPECT_EQ(r.marker(4), 4);
}

TEST(AviRead, StreamInfoAndReferences) {
    MarkerCodec codec;
    TempDir dir;
    std::string path = write_marker_file(dir, 20);
    PAVIFILE f = nullptr;
    PAVISTREAM s = nullptr;
    ASSERT_EQ(AVIFileOpenA(&f, path.c_str(), OF_READ, nullptr), AVIERR_OK);
    EXPECT_EQ(AVIFileGetStream(f, &s, streamtypeAUDIO, 0), AVIERR_NODATA);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(AVIFileGetStream(f, &s, streamtypeVIDEO, 1), AVIERR_NODATA);
    ASSERT_EQ(AVIFileGetStream(f, &s, streamtypeVIDEO, 0), AVIERR_OK);
    AVISTREAMINFOA si{};
    ASSERT_EQ(AVIStreamInfoA(s, &si, sizeof si), AVIERR_OK);
    EXPECT_EQ(si.fccType, streamtypeVIDEO);
    EXPECT_EQ(si.fccHandler, kMark);
    EXPECT_EQ(si.dwLength, 20u);
    EXPECT_EQ(si.rcFrame.right, kW);  // the writer was given none; the picture's size stands in
    EXPECT_EQ(si.rcFrame.bottom, kH);
    EXPECT_EQ(avifile_frame_count(s), 20);
    PGETFRAME g = AVIStreamGetFrameOpen(s, nullptr);
    ASSERT_NE(g, nullptr);
    // The decoder keeps the file alive after the caller let go of it.
    EXPECT_EQ(AVIStreamRelease(s), 1u);
    EXPECT_NE(AVIFileRelease(f), 0u);
    EXPECT_NE(AVIStreamGetFrame(g, 4), nullptr);
    EXPECT_EQ(AVIStreamGetFrameClose(g), AVIERR_OK);
    // Everything is gone now; stale handles are refused.
    EXPECT_EQ(AVIStreamInfoA(s, &si, sizeof si), AVIERR_BADHANDLE);
    EXPECT_EQ(AVIFileRelease(f), 0u);
}

// --- Files laid out by hand -------------------------------------------------

std::string u32(std::uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
    return s;
}
std::string u16(std::uint32_t v) { return u32(v).substr(0, 2); }
std::string chunk(const std::string& id, const std::string& data) {
    std::string s = id + u32(static_cast<std::uint32_t>(data.size())) + data;
    if (data.size() & 1) s += '\0';
    return s;
}
std::string list(const std::string& type, const std::string& body) {
    return "LIST" + u32(static_cast<std::uint32_t>(body.size() + 4)) + type + body;
}
std::string strh(const std::string& type, const std::string& handler, std::uint32_t length) {
    std::string d = type + handler + u32(0) + u16(0) + u16(0) + u32(0) + u32(1) + u32(25) + u32(0) + u32(length) +
                    u32(0) + u32(0xFFFFFFFF) + u32(0);  // buffer size, quality, sample size
    return chunk("strh", d + u16(0) + u16(0) + u16(0) + u16(0));
}
std::string bih(std::int32_t w, std::int32_t h, DWORD compression) {
    BITMAPINFOHEADER bi = testsupport::dib_header(w, h, compression);
    bi.biSizeImage = 0;  // as many writers leave it
    return std::string(reinterpret_cast<const char*>(&bi), 40);
}
std::string wave_format() { return u16(1) + u16(1) + u32(8000) + u32(8000) + u16(1) + u16(8); }

struct Entry {
    std::string id;
    std::uint32_t flags;
    std::uint32_t offset;  // of the chunk header, from the 'movi' word
    std::uint32_t size;
};

// Audio first, video second ('01dc'); frames in 'rec ' lists with JUNK and a
// palette-change chunk between them, odd sizes with their pad bytes.
// idx1: 0 none, 1 offsets from 'movi', 2 offsets from the file's start.
std::string hand_made_file(int idx1_kind, std::vector<std::string>* frames_out) {
    std::string hdrl = chunk("avih", std::string(56, '\0')) +
                       list("strl", strh("auds", std::string(4, '\0'), 3) + chunk("strf", wave_format())) +
                       list("strl", strh("vids", "MARK", 5) + chunk("strf", bih(kW, kH, kMark)) +
                                        chunk("strn", std::string("hand made\0", 10)));
    std::string movi;
    std::vector<Entry> index;
    auto add = [&](const std::string& id, const std::string& data, std::uint32_t flags, std::string& into,
                   std::uint32_t at) {
        index.push_back({id, flags, at, static_cast<std::uint32_t>(data.size())});
        into += chunk(id, data);
    };
    std::vector<std::string> frames = {std::string("\x00\x01\x02", 3), std::string("\x01", 1),
                                       std::string("\x02\x07", 2), std::string("\x03\x03\x03\x03\x03", 5),
                                       std::string("\x04\x00\x00", 3)};
    for (int n = 0; n < 5; ++n) {
        std::string rec;
        std::uint32_t rec_at = static_cast<std::uint32_t>(4 + movi.size());
        std::uint32_t in_rec = rec_at + 12;
        if (n < 3) {
            std::string audio(7, static_cast<char>(0x80));
            add("00wb", audio, 0, rec, in_rec + static_cast<std::uint32_t>(rec.size()));
        }
        if (n == 2) rec += chunk("01pc", std::string(4, '\x55'));  // not a picture
        add("01dc", frames[n], n % 3 == 0 ? AVIIF_KEYFRAME : 0, rec, in_rec + static_cast<std::uint32_t>(rec.size()));
        movi += list("rec ", rec);
        movi += chunk("JUNK", std::string(3, '\0'));
    }
    std::string head = "RIFF" + u32(0) + "AVI " + list("hdrl", hdrl) + chunk("JUNK", std::string(9, '\0'));
    std::uint32_t movi_word = static_cast<std::uint32_t>(head.size() + 8);
    std::string body = head + list("movi", movi);
    if (idx1_kind) {
        std::string idx;
        for (const Entry& e : index)
            idx += e.id + u32(e.flags) + u32(idx1_kind == 1 ? e.offset : e.offset + movi_word) + u32(e.size);
        body += chunk("idx1", idx);
    }
    std::string file = body;
    std::uint32_t riff = static_cast<std::uint32_t>(file.size() - 8);
    std::memcpy(&file[4], &riff, 4);
    if (frames_out) *frames_out = frames;
    return file;
}

void write_bytes(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
}

TEST(AviRead, FilesOfOtherWritersWithAndWithoutIndex) {
    MarkerCodec codec;
    TempDir dir;
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE("idx1 kind " + std::to_string(kind));
        std::vector<std::string> frames;
        std::string path = dir.file("hand" + std::to_string(kind) + ".avi");
        write_bytes(path, hand_made_file(kind, &frames));
        Reader r(path);
        ASSERT_EQ(r.open_result, AVIERR_OK);
        ASSERT_EQ(r.stream_result, AVIERR_OK);
        AVISTREAMINFOA si{};
        AVIStreamInfoA(r.stream, &si, sizeof si);
        EXPECT_STREQ(si.szName, "hand made");
        EXPECT_EQ(si.dwLength, 5u);
        ASSERT_EQ(avifile_frame_count(r.stream), 5);
        for (int n = 0; n < 5; ++n) {
            std::uint32_t size = 0;
            int key = -1;
            ASSERT_TRUE(avifile_frame_entry(r.stream, n, &size, &key));
            EXPECT_EQ(size, frames[n].size()) << n;
            if (kind != 0) {
                EXPECT_EQ(key, n % 3 == 0 ? 1 : 0) << n;  // without an index only frame 0 is known as key
            }
        }
        ASSERT_NE(r.frames, nullptr);
        for (int n = 0; n < 5; ++n) EXPECT_EQ(r.marker(n), n);
        g_decodes.clear();
        EXPECT_EQ(r.marker(4), 4);
        EXPECT_EQ(r.marker(3), 3);

        // The audio stream before it: no sample size, so a chunk is a sample.
        PAVISTREAM audio = nullptr;
        ASSERT_EQ(AVIFileGetStream(r.file, &audio, streamtypeAUDIO, 0), AVIERR_OK);
        EXPECT_EQ(AVIFileGetStream(r.file, &audio, streamtypeAUDIO, 1), AVIERR_NODATA);
        ASSERT_EQ(AVIFileGetStream(r.file, &audio, streamtypeAUDIO, 0), AVIERR_OK);
        AVIStreamRelease(audio);
        for (LONG n = 0; n < 3; ++n) {
            for (LONG asked : {AVISTREAMREAD_CONVENIENT, LONG{1}, LONG{5}}) {
                std::string data(16, '\0');
                LONG bytes = -1, samples = -1;
                ASSERT_EQ(AVIStreamRead(audio, n, asked, data.data(), 16, &bytes, &samples), AVIERR_OK);
                EXPECT_EQ(bytes, 7);
                EXPECT_EQ(samples, 1);
                EXPECT_EQ(data.substr(0, 7), std::string(7, static_cast<char>(0x80)));
            }
            LONG bytes = -1;
            EXPECT_EQ(AVIStreamRead(audio, n, 1, nullptr, 0, &bytes, nullptr), AVIERR_OK);
            EXPECT_EQ(bytes, 7);
            std::uint8_t small[6];
            EXPECT_EQ(AVIStreamRead(audio, n, 1, small, sizeof small, &bytes, nullptr), AVIERR_BUFFERTOOSMALL);
        }
        EXPECT_EQ(AVIStreamRead(audio, 3, 1, nullptr, 0, nullptr, nullptr), AVIERR_NODATA);
        AVIStreamRelease(audio);
    }
}

std::string audio_strh(std::uint32_t scale, std::uint32_t rate, std::uint32_t start, std::uint32_t length,
                       std::uint32_t sample_size) {
    std::string d = "auds" + std::string(4, '\0') + u32(0) + u16(0) + u16(0) + u32(0) + u32(scale) + u32(rate) +
                    u32(start) + u32(length) + u32(0) + u32(0xFFFFFFFF) + u32(sample_size);
    return chunk("strh", d + std::string(8, '\0'));
}

// Audio of a sample size, 16-bit mono starting at sample 5, in chunks of 6,
// 0, 5 (a short last sample, as a damaged file has it) and 4 bytes.
// idx1: 0 none, 1 offsets from 'movi'.
std::string audio_file(int idx1_kind, std::uint32_t stored_length, std::string* bytes) {
    const std::vector<std::string> chunks = {"ABCDEF", "", "ghijk", "LMNO"};
    std::string movi, idx;
    for (const std::string& c : chunks) {
        idx += "00wb" + u32(AVIIF_KEYFRAME) + u32(static_cast<std::uint32_t>(4 + movi.size())) +
               u32(static_cast<std::uint32_t>(c.size()));
        movi += chunk("00wb", c);
        *bytes += c;
    }
    const std::string format = u16(1) + u16(1) + u32(8000) + u32(16000) + u16(2) + u16(16);
    std::string file = "RIFF" + u32(0) + "AVI " +
                       list("hdrl", chunk("avih", std::string(56, '\0')) +
                                        list("strl", audio_strh(2, 16000, 5, stored_length, 2) + chunk("strf", format) +
                                                         chunk("strn", std::string("mono\0", 5)))) +
                       list("movi", movi) + (idx1_kind ? chunk("idx1", idx) : "");
    const std::uint32_t riff = static_cast<std::uint32_t>(file.size() - 8);
    std::memcpy(&file[4], &riff, 4);
    return file;
}

// Samples count from the stream's start, as AVIFile counts them; a read
// goes across chunks as far as asked and the buffer takes, or with
// AVISTREAMREAD_CONVENIENT to the end of the chunk that holds its start.
TEST(AviRead, AudioSamplesAcrossChunksAndChunkByChunk) {
    TempDir dir;
    for (int kind = 0; kind < 2; ++kind) {
        for (std::uint32_t stored : {0u, 99u}) {
            SCOPED_TRACE("idx1 kind " + std::to_string(kind) + ", stored length " + std::to_string(stored));
            std::string all;
            const std::string path = dir.file("audio.avi");
            write_bytes(path, audio_file(kind, stored, &all));
            PAVIFILE f = nullptr;
            PAVISTREAM s = nullptr;
            ASSERT_EQ(AVIFileOpenA(&f, path.c_str(), OF_READ, nullptr), AVIERR_OK);
            ASSERT_EQ(AVIFileGetStream(f, &s, streamtypeAUDIO, 0), AVIERR_OK);
            AVIStreamRelease(s);
            AVISTREAMINFOA si{};
            ASSERT_EQ(AVIStreamInfoA(s, &si, sizeof si), AVIERR_OK);
            EXPECT_EQ(si.dwStart, 5u);
            EXPECT_EQ(si.dwScale, 2u);
            EXPECT_EQ(si.dwRate, 16000u);
            EXPECT_EQ(si.dwSampleSize, 2u);
            EXPECT_EQ(si.dwLength, stored ? stored : 8u) << "as stored; counted when the header has none";
            EXPECT_STREQ(si.szName, "mono");
            LONG format_size = 0;
            EXPECT_EQ(AVIStreamReadFormat(s, 0, nullptr, &format_size), AVIERR_OK);
            EXPECT_EQ(format_size, 16);

            struct Read {
                LONG start, samples, buffer;
                HRESULT result;
                LONG bytes_read, samples_read;
                std::size_t from;  // offset of the bytes in `all`
            };
            const LONG kNoBuffer = -1;
            const Read reads[] = {
                {5, AVISTREAMREAD_CONVENIENT, kNoBuffer, AVIERR_OK, 6, 3, 0},   // a chunk, asked for its size
                {5, AVISTREAMREAD_CONVENIENT, 64, AVIERR_OK, 6, 3, 0},          // and read
                {6, AVISTREAMREAD_CONVENIENT, 64, AVIERR_OK, 4, 2, 2},          // the rest of it
                {8, AVISTREAMREAD_CONVENIENT, 64, AVIERR_OK, 5, 3, 6},          // the next (the empty one holds none)
                {10, AVISTREAMREAD_CONVENIENT, 64, AVIERR_OK, 1, 1, 10},        // a short sample
                {11, AVISTREAMREAD_CONVENIENT, 64, AVIERR_OK, 4, 2, 11},
                {5, AVISTREAMREAD_CONVENIENT, 4, AVIERR_OK, 4, 2, 0},           // as much as fits
                {5, 8, 64, AVIERR_OK, 15, 8, 0},                                // everything, across chunks
                {5, 100, kNoBuffer, AVIERR_OK, 15, 8, 0},                       // up to the end
                {6, 5, 64, AVIERR_OK, 9, 5, 2},
                {5, 8, 7, AVIERR_OK, 6, 3, 0},                                  // whole samples that fit
                {9, 2, 3, AVIERR_OK, 3, 2, 8},
                {5, 0, 64, AVIERR_OK, 0, 0, 0},                                 // nothing asked
                {5, 1, 1, AVIERR_BUFFERTOOSMALL, 0, 0, 0},                      // not one sample fits
                {4, 1, 64, AVIERR_NODATA, 0, 0, 0},                             // before the start
                {13, AVISTREAMREAD_CONVENIENT, 64, AVIERR_NODATA, 0, 0, 0},     // past the end
                {-1, 1, 64, AVIERR_NODATA, 0, 0, 0},
            };
            for (const Read& r : reads) {
                SCOPED_TRACE("read " + std::to_string(r.samples) + " at " + std::to_string(r.start) + " into " +
                             std::to_string(r.buffer));
                std::string data(64, '\0');
                LONG bytes = -1, samples = -1;
                EXPECT_EQ(AVIStreamRead(s, r.start, r.samples, r.buffer == kNoBuffer ? nullptr : data.data(),
                                        r.buffer == kNoBuffer ? 0 : r.buffer, &bytes, &samples),
                          r.result);
                EXPECT_EQ(bytes, r.bytes_read);
                EXPECT_EQ(samples, r.samples_read);
                if (r.buffer != kNoBuffer) {
                    EXPECT_EQ(data.substr(0, static_cast<std::size_t>(r.bytes_read)),
                              all.substr(r.from, static_cast<std::size_t>(r.bytes_read)));
                }
            }
            AVIFileRelease(f);
        }
    }
}

TEST(AviRead, BrokenFilesGiveErrorsOrFewerFrames) {
    MarkerCodec codec;
    TempDir dir;
    std::string whole = hand_made_file(1, nullptr);
    std::string path = dir.file("broken.avi");

    // Cut anywhere: either the open fails, or whatever frames remain can be
    // read without a crash.
    for (std::size_t cut = 0; cut < whole.size(); cut += 7) {
        write_bytes(path, whole.substr(0, cut));
        Reader r(path);
        if (r.open_result != AVIERR_OK || r.stream_result != AVIERR_OK || !r.frames) continue;
        LONG count = avifile_frame_count(r.stream);
        EXPECT_LE(count, 5);
        for (LONG n = 0; n < count; ++n) EXPECT_EQ(r.marker(n), n) << "cut at " << cut;
    }
    // Not an AVI file at all, or no file.
    write_bytes(path, "RIFF\x10\0\0\0WAVEfmt ");
    PAVIFILE f = nullptr;
    EXPECT_NE(AVIFileOpenA(&f, path.c_str(), OF_READ, nullptr), AVIERR_OK);
    EXPECT_EQ(f, nullptr);
    EXPECT_NE(AVIFileOpenA(&f, dir.file("missing.avi").c_str(), OF_READ, nullptr), AVIERR_OK);

    // Only an audio stream.
    std::string audio_only = "RIFF" + u32(0) + "AVI " +
                             list("hdrl", chunk("avih", std::string(56, '\0')) +
                                              list("strl", strh("auds", std::string(4, '\0'), 1) +
                                                               chunk("strf", wave_format()))) +
                             list("movi", chunk("00wb", "abcd"));
    write_bytes(path, audio_only);
    Reader a(path);
    ASSERT_EQ(a.open_result, AVIERR_OK);
    EXPECT_EQ(a.stream_result, AVIERR_NODATA);

    // An index cut off after any number of its entries: the rest of the
    // movi list is scanned, and every frame is there.
    const std::size_t idx1_at = whole.find("idx1");
    ASSERT_NE(idx1_at, std::string::npos);
    for (std::size_t entries = 0; idx1_at + 8 + 16 * entries < whole.size(); ++entries) {
        SCOPED_TRACE("idx1 cut after " + std::to_string(entries) + " entries");
        write_bytes(path, whole.substr(0, idx1_at + 8 + 16 * entries));
        Reader c(path);
        ASSERT_NE(c.frames, nullptr);
        ASSERT_EQ(avifile_frame_count(c.stream), 5);
        for (LONG n = 0; n < 5; ++n) EXPECT_EQ(c.marker(n), n);
    }

    // An index entry whose size runs past the end of the file: the frame is
    // read from its chunk when the entry leads to one, else it is damaged
    // (no picture, still in the file); the frames after it keep their places.
    for (bool leads_to_chunk : {true, false}) {
        SCOPED_TRACE(leads_to_chunk ? "entry leads to its chunk" : "entry leads nowhere");
        std::string bad = whole;
        const std::size_t idx1 = bad.find("idx1");
        int seen = 0;
        for (std::size_t e = idx1 + 8; e + 16 <= bad.size(); e += 16) {
            if (bad.compare(e, 4, "01dc") != 0 || seen++ != 2) continue;
            std::memcpy(&bad[e + 12], "\xF0\xFF\xFF\xFF", 4);
            if (!leads_to_chunk) bad[e + 8] = static_cast<char>(bad[e + 8] + 2);
        }
        write_bytes(path, bad);
        Reader r(path);
        ASSERT_NE(r.frames, nullptr);
        ASSERT_EQ(avifile_frame_count(r.stream), 5);
        for (LONG n = 0; n < 5; ++n) EXPECT_EQ(r.marker(n), n == 2 && !leads_to_chunk ? -1 : n) << n;
        LONG bytes = -1;
        EXPECT_EQ(AVIStreamRead(r.stream, 2, 1, nullptr, 0, &bytes, nullptr), AVIERR_OK);
        EXPECT_EQ(bytes, leads_to_chunk ? 2 : 0);
    }

    // An uncompressed picture larger than the whole file is refused before
    // its picture is allocated (the frame decoder would want 243 MB here).
    std::string giant = "RIFF" + u32(0) + "AVI " +
                        list("hdrl", chunk("avih", std::string(56, '\0')) +
                                         list("strl", strh("vids", "DIB ", 1) + chunk("strf", bih(9000, 9000, BI_RGB)))) +
                        list("movi", chunk("00db", std::string(10000, '\x40')));
    write_bytes(path, giant);
    Reader g(path);
    ASSERT_EQ(g.stream_result, AVIERR_OK);
    EXPECT_EQ(g.frames, nullptr);

    // Sizes that point far beyond the end of the file.
    std::string lying = hand_made_file(0, nullptr);
    for (std::size_t at = lying.find("01dc"); at != std::string::npos; at = lying.find("01dc", at + 4))
        std::memcpy(&lying[at + 4], "\xF0\xFF\xFF\x7F", 4);
    write_bytes(path, lying);
    Reader l(path);
    ASSERT_EQ(l.open_result, AVIERR_OK);
    for (LONG n = 0; n < avifile_frame_count(l.stream); ++n) {
        std::uint32_t size = 0;
        ASSERT_TRUE(avifile_frame_entry(l.stream, n, &size, nullptr));
        EXPECT_LE(size, lying.size());
    }
}

}  // namespace
