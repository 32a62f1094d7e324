// Inside of the AVI file objects: what a handle points at, and the helpers the
// reader, the writer and the frame decoder share. Not part of the API.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/avifile/avifile.h"
#include "common/bytes.h"

namespace avi {

constexpr DWORD fcc(const char (&s)[5]) { return mmioFOURCC(s[0], s[1], s[2], s[3]); }

constexpr DWORD kRIFF = fcc("RIFF");
constexpr DWORD kLIST = fcc("LIST");
constexpr DWORD kJUNK = fcc("JUNK");
constexpr DWORD kAVI = fcc("AVI ");
constexpr DWORD kAVIX = fcc("AVIX");
constexpr DWORD khdrl = fcc("hdrl");
constexpr DWORD kavih = fcc("avih");
constexpr DWORD kstrl = fcc("strl");
constexpr DWORD kstrh = fcc("strh");
constexpr DWORD kstrf = fcc("strf");
constexpr DWORD kstrn = fcc("strn");
constexpr DWORD kindx = fcc("indx");
constexpr DWORD kodml = fcc("odml");
constexpr DWORD kdmlh = fcc("dmlh");
constexpr DWORD kmovi = fcc("movi");
constexpr DWORD krec = fcc("rec ");
constexpr DWORD kidx1 = fcc("idx1");

constexpr DWORD AVIF_HASINDEX = 0x00000010;
constexpr DWORD AVIF_ISINTERLEAVED = 0x00000100;
constexpr DWORD AVIF_TRUSTCKTYPE = 0x00000800;

// OpenDML index kinds (bIndexType) and the bit that marks a delta frame in a
// standard index entry's size.
constexpr std::uint8_t AVI_INDEX_OF_INDEXES = 0x00;
constexpr std::uint8_t AVI_INDEX_OF_CHUNKS = 0x01;
constexpr std::uint32_t AVI_INDEX_DELTAFRAME = 0x80000000u;

// "00dc", "01wb", ...: the two digits of a stream number and a two-letter kind.
inline DWORD chunk_id(unsigned stream, char a, char b) {
    return mmioFOURCC(static_cast<char>('0' + (stream / 10) % 10), static_cast<char>('0' + stream % 10), a, b);
}
// The stream number of a chunk id, or -1 when it does not start with two digits.
inline int chunk_stream(DWORD id) {
    unsigned c0 = id & 0xFF, c1 = (id >> 8) & 0xFF;
    if (c0 < '0' || c0 > '9' || c1 < '0' || c1 > '9') return -1;
    return static_cast<int>((c0 - '0') * 10 + (c1 - '0'));
}

// One video frame (or audio chunk) as it lies in the file.
struct FrameEntry {
    std::uint64_t offset;  // absolute file offset of the chunk's data
    std::uint32_t size;    // bytes of data (0: a dropped frame)
    std::uint8_t key;      // 1 for a key frame
    std::uint8_t damaged = 0;   // 1: its index entry leads to no frame; it keeps its place, without a picture
    std::uint8_t past_end = 0;  // reading: the frame runs past the end of the file
};

// A stream of a file opened for reading.
struct ReadStream {
    AVISTREAMINFOA info{};
    std::vector<std::uint8_t> format;  // strf as stored
    std::vector<FrameEntry> frames;    // video and audio streams: their chunks in order
    // Audio of a sample size: the samples up to the end of each chunk (a
    // chunk holds size / dwSampleSize of them, rounded up).
    std::vector<std::uint64_t> sample_end;
    unsigned number = 0;               // position among the file's streams
};

struct WriteState;  // avi_write.cpp
struct WriteStateDeleter {
    void operator()(WriteState* state) const;
};

}  // namespace avi

// Opaque to callers; the handles of avifile.h point at these.
struct IAVIStream {
    IAVIFile* file = nullptr;
    avi::ReadStream* read = nullptr;  // set for a stream of a file opened for reading
    unsigned number = 0;              // writing: position among the file's streams
    ULONG refs = 0;
};

struct IAVIFile {
    ULONG refs = 0;  // the file's own references plus those of its streams
    int fd = -1;
    bool writing = false;
    std::uint64_t file_size = 0;                               // reading
    std::vector<std::unique_ptr<avi::ReadStream>> streams;     // reading
    std::vector<std::unique_ptr<IAVIStream>> handles;          // one per stream, both modes
    std::unique_ptr<avi::WriteState, avi::WriteStateDeleter> write;  // writing
    ~IAVIFile();
};

namespace avi {

// Reader: parses the headers and indexes of an opened file descriptor.
HRESULT read_open(IAVIFile& file);
// Writer.
HRESULT write_open(IAVIFile& file);
HRESULT write_create_stream(IAVIFile& file, const AVISTREAMINFOA& info, IAVIStream** stream);
HRESULT write_set_format(IAVIStream& stream, const void* format, LONG size);
// One chunk of the stream, behind everything written before on any stream.
// Video: position is the frame's number (a gap is filled with empty frames),
// samples 1. Audio: the chunk is appended whatever position says (-1 asks for
// that), and counts samples of the stream.
HRESULT write_sample(IAVIStream& stream, LONG position, LONG samples, const void* data, LONG size, DWORD flags);
// The stream information as it stands: what was given, with the length so far.
void write_stream_info(const IAVIStream& stream, AVISTREAMINFOA& info);
// Completes the file on disk; false when something could not be written.
bool write_finish(IAVIFile& file);

// Reads exactly size bytes at offset; false on a short read.
bool read_at(int fd, std::uint64_t offset, void* data, std::size_t size);
// AVIStreamRead on an audio stream of a file being read (avifile.h).
HRESULT read_audio(const IAVIFile& file, const ReadStream& stream, LONG start, LONG samples, void* buffer,
                   LONG size, LONG* bytes, LONG* samples_read);

}  // namespace avi
