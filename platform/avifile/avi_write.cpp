// Writing AVI files: a video stream and any audio streams beside it, one
// write a chunk, in the order of the writes (the caller interleaves), written
// straight through so that a process that dies mid-run leaves every chunk on
// disk.
//
// Layout. The headers are laid out when the first sample arrives (the formats
// are known then) with the final sizes of every header chunk; only counters and
// the RIFF / movi sizes change later. JUNK chunks hold the room of each
// stream's OpenDML super index (in its strl) and of the odml list (in hdrl). As
// long as the file stays under the RIFF limit it is a plain AVI with idx1. Past
// the limit the first RIFF is closed (an ix## for each stream, movi size, JUNK
// room for its idx1, RIFF size) and the file continues in 'RIFF AVIX' parts,
// each with its own ix## chunks; the JUNK rooms become indx and odml when the
// file is released.
//
// While the file is being written the open RIFF and movi sizes read 0, which
// readers take as "up to the end of the file", and no index exists yet, so a
// reader scans the chunks: a killed run loses nothing that reached the disk.
//
// Running out of space. Behind the last chunk the file always holds, written
// out as a JUNK chunk, the room that completing it needs (the index of the
// open RIFF). A frame counts only once its chunk and the room after it are on
// disk; when the disk fills up or the file-size limit is hit, the frame is
// given up and completing the file writes only into room it already has:
// the index over the partial chunk, the sizes in place, and the file cut
// behind the index.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>

#include "platform/avifile/avi_internal.h"
#ifdef TWOPASS_TEST_HOOKS
#include "platform/avifile/avifile_testing.h"
#endif

namespace {

constexpr std::uint64_t kDefaultRiffLimit = 1000ull * 1024 * 1024;  // room left for the index below 1 GiB
#ifdef TWOPASS_TEST_HOOKS
std::uint64_t g_riff_limit = kDefaultRiffLimit;
std::uint64_t g_write_limit = 0;  // bytes a file may grow to; 0 = no limit
#else
constexpr std::uint64_t g_riff_limit = kDefaultRiffLimit;
constexpr std::uint64_t g_write_limit = 0;
#endif

constexpr unsigned kSuperIndexEntries = 256;
constexpr std::uint32_t kIndxSize = 24 + 16 * kSuperIndexEntries;  // indx data bytes
constexpr std::uint32_t kOdmlSize = 4 + 8 + 248;                   // 'odml' + dmlh chunk
constexpr LONG kMaxGap = 1 << 20;  // empty frames that one write may add to fill a gap
constexpr std::uint64_t kRoomStep = 4096;  // the completion room grows by this much beyond what it needs

}  // namespace

#ifdef TWOPASS_TEST_HOOKS
void avifile_set_riff_limit(std::uint64_t bytes) { g_riff_limit = bytes ? bytes : kDefaultRiffLimit; }
void avifile_set_write_limit(std::uint64_t bytes) { g_write_limit = bytes; }
#endif

namespace avi {

// One chunk of any stream, in file order.
struct WriteEntry {
    std::uint64_t offset;  // absolute offset of the chunk header
    std::uint32_t size;    // data bytes
    std::uint16_t stream;  // position among the file's streams
    std::uint16_t flags;   // AVIIF_KEYFRAME or 0
};

// What one RIFF part holds of one stream.
struct PartStream {
    std::size_t chunks = 0;
    std::uint64_t samples = 0;   // its duration, for the super index
    std::uint64_t ix_offset = 0;  // offset of its ix## chunk, once written
    std::uint32_t ix_size = 0;    // whole ix## chunk with header
};

struct RiffPart {
    std::uint64_t riff_start;  // offset of "RIFF"
    std::uint64_t movi_start;  // offset of "LIST" of its movi
    std::size_t first_entry;   // index of its first chunk in WriteState::entries
    std::size_t entry_count;
    std::vector<PartStream> streams;  // one per stream
};

struct WriteStream {
    AVISTREAMINFOA info{};
    std::vector<std::uint8_t> format;
    DWORD ckid = 0;
    std::size_t chunks = 0;    // chunks written
    std::uint64_t length = 0;  // samples written: frames, or for audio the samples the writes said
    std::uint32_t largest = 0;
    std::uint64_t strh_pos = 0, indx_pos = 0;  // known once laid out
};

struct WriteState {
    std::vector<WriteStream> streams;
    bool laid_out = false;
    bool failed = false;    // a write failed: no further frame is taken
    std::uint64_t pos = 0;  // end of what has been written
    std::uint64_t room_end = 0;    // the file's bytes are on disk up to here (frames, then completion room)
    std::uint64_t write_limit = 0;  // tests: the file can't grow past this; 0 = no limit
    std::uint64_t riff_limit = kDefaultRiffLimit;
    // Header positions, known once laid out.
    std::uint64_t avih_pos = 0, odml_pos = 0;
    std::uint64_t idx1_room = 0;  // offset of the JUNK that will hold idx1, after the first split
    std::vector<WriteEntry> entries;
    std::size_t frames_expected = 0;  // the frames the video streams were created with
    std::vector<RiffPart> parts;
    std::vector<std::uint8_t> scratch;  // reused for index chunks
};

namespace {

// Writes the buffers at offset; answers the bytes written, fewer than asked
// when the disk is full or the file-size limit is hit (EFBIG: the process
// ignores SIGXFSZ). A test limit cuts the write where the file would pass it.
std::size_t put(const WriteState& w, int fd, std::uint64_t offset, const iovec* buffers, int count) {
    std::array<iovec, 4> iov{};
    std::size_t total = 0;
    for (int i = 0; i < count; ++i) {
        iov[static_cast<std::size_t>(i)] = buffers[i];
        total += buffers[i].iov_len;
    }
    std::size_t allowed = total;
    if (w.write_limit) allowed = offset >= w.write_limit ? 0 : std::min<std::uint64_t>(total, w.write_limit - offset);
    std::size_t done = 0;
    iovec* v = iov.data();
    while (done < allowed) {
        // Trim the buffers to what the limit allows.
        std::size_t left = allowed - done, n_iov = 0, sum = 0;
        while (n_iov < static_cast<std::size_t>(count) && sum < left) sum += v[n_iov++].iov_len;
        const std::size_t last_len = v[n_iov - 1].iov_len;
        if (sum > left) v[n_iov - 1].iov_len -= sum - left;
        ssize_t n = pwritev(fd, v, static_cast<int>(n_iov), static_cast<off_t>(offset + done));
        v[n_iov - 1].iov_len = last_len;
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return done;
        done += static_cast<std::size_t>(n);
        auto k = static_cast<std::size_t>(n);
        while (count > 0 && k >= v->iov_len) {
            k -= v->iov_len;
            ++v;
            --count;
        }
        if (count > 0) {
            v->iov_base = static_cast<std::uint8_t*>(v->iov_base) + k;
            v->iov_len -= k;
        }
    }
    return done;
}

bool pwrite_all(const WriteState& w, int fd, std::uint64_t offset, const void* data, std::size_t size) {
    iovec v{const_cast<void*>(data), size};
    return put(w, fd, offset, &v, 1) == size;
}

// Appends to the file; on failure the state is marked failed.
bool append(WriteState& w, int fd, const void* data, std::size_t size) {
    if (w.failed) return false;
    if (!pwrite_all(w, fd, w.pos, data, size)) {
        w.failed = true;
        return false;
    }
    w.pos += size;
    w.room_end = std::max(w.room_end, w.pos);
    return true;
}

bool patch32(WriteState& w, int fd, std::uint64_t offset, std::uint32_t value) {
    std::uint8_t b[4];
    bytes_put32(b, value);
    if (w.failed || !pwrite_all(w, fd, offset, b, 4)) {
        w.failed = true;
        return false;
    }
    return true;
}

std::uint32_t size32(std::uint64_t v) { return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, 0xFFFFFFFFu)); }

bool is_video(const WriteStream& s) { return s.info.fccType == streamtypeVIDEO; }
bool is_audio(const WriteStream& s) { return s.info.fccType == streamtypeAUDIO; }

// The stream whose frames avih counts and times: the first video stream.
const WriteStream* main_stream(const WriteState& w) {
    for (const WriteStream& s : w.streams)
        if (is_video(s)) return &s;
    return w.streams.empty() ? nullptr : &w.streams[0];
}

// Bytes of the ix## chunks of a part holding `chunks` chunks: at most one a stream.
std::uint64_t ix_bytes(const WriteState& w, std::uint64_t chunks) { return (8 + 24) * w.streams.size() + 8 * chunks; }

// Bytes that completing the file writes behind the last chunk when the open
// RIFF holds `chunks` chunks: idx1 in the first RIFF, ix## in an AVIX part.
std::uint64_t completion_bytes(const WriteState& w, std::uint64_t chunks) {
    return w.parts.size() <= 1 ? 8 + 16 * chunks : ix_bytes(w, chunks);
}

// Makes sure the file's bytes are on disk up to `end`, writing zeros beyond
// what is there (and a step more, so that this happens seldom). Answers false
// when the disk or the size limit can't take them.
bool make_room(WriteState& w, int fd, std::uint64_t end) {
    static const std::array<std::uint8_t, 4096> zeros{};
    const std::uint64_t target = end + kRoomStep;
    while (w.room_end < target) {  // past `end` the extra step is welcome, not needed
        const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), target - w.room_end));
        iovec v{const_cast<std::uint8_t*>(zeros.data()), step};
        const std::size_t n = put(w, fd, w.room_end, &v, 1);
        w.room_end += n;
        if (n < step) break;
    }
    return w.room_end >= end;
}

// Marks the room behind the last chunk as JUNK, so that a reader scanning a
// file whose writer was killed steps over it. Written in place.
void mark_room(WriteState& w, int fd) {
    const std::uint64_t room = (w.room_end - w.pos) & ~std::uint64_t{1};
    if (room < 8) return;
    std::uint8_t h[8];
    bytes_put32(h, kJUNK);
    bytes_put32(h + 4, size32(room - 8));
    pwrite_all(w, fd, w.pos, h, 8);  // a reader that misses it meets zeros, which it steps over too
}

const BITMAPINFOHEADER* video_format(const WriteStream& s) {
    if (!is_video(s) || s.format.size() < sizeof(BITMAPINFOHEADER)) return nullptr;
    return reinterpret_cast<const BITMAPINFOHEADER*>(s.format.data());
}

std::uint32_t buffer_size(const WriteStream& s) { return std::max<std::uint32_t>(s.info.dwSuggestedBufferSize, s.largest); }

// "00dc"/"00db" for video, "01wb" for audio, by the stream's position.
DWORD stream_ckid(const WriteStream& s, unsigned number) {
    if (is_audio(s)) return chunk_id(number, 'w', 'b');
    const BITMAPINFOHEADER* bi = video_format(s);
    return chunk_id(number, 'd', bi && bi->biCompression == BI_RGB ? 'b' : 'c');
}

void fill_avih(const WriteState& w, std::uint8_t* p) {
    std::memset(p, 0, 56);
    const WriteStream* main = main_stream(w);
    const AVISTREAMINFOA si = main ? main->info : AVISTREAMINFOA{};
    std::uint32_t usec = 0;
    double max_bytes = 0;
    if (si.dwRate) usec = size32(static_cast<std::uint64_t>(std::llround(1e6 * si.dwScale / si.dwRate)));
    for (const WriteStream& s : w.streams) {
        if (!s.info.dwRate) continue;
        const double rate = static_cast<double>(s.info.dwRate) / (s.info.dwScale ? s.info.dwScale : 1);
        // Audio of a sample size: its bytes a second; else its largest chunk at its chunk rate.
        max_bytes += is_audio(s) && s.info.dwSampleSize ? std::ceil(s.info.dwSampleSize * rate)
                                                        : std::ceil((s.largest + 8.0) * rate);
    }
    const std::size_t main_index = main ? static_cast<std::size_t>(main - w.streams.data()) : 0;
    std::uint32_t first_riff_frames =
        w.parts.empty() || !main ? 0 : static_cast<std::uint32_t>(w.parts[0].streams[main_index].chunks);
    std::int32_t width = si.rcFrame.right - si.rcFrame.left;
    std::int32_t height = si.rcFrame.bottom - si.rcFrame.top;
    if (const BITMAPINFOHEADER* bi = main ? video_format(*main) : nullptr) {
        width = bi->biWidth;
        height = bi->biHeight < 0 ? -bi->biHeight : bi->biHeight;
    }
    std::uint32_t buffer = 0;
    for (const WriteStream& s : w.streams) buffer = std::max(buffer, buffer_size(s));
    bytes_put32(p + 0, usec);
    bytes_put32(p + 4, size32(static_cast<std::uint64_t>(max_bytes)));
    bytes_put32(p + 8, 0);  // padding granularity
    bytes_put32(p + 12, AVIF_HASINDEX | AVIF_ISINTERLEAVED | AVIF_TRUSTCKTYPE);
    bytes_put32(p + 16, first_riff_frames);
    bytes_put32(p + 20, si.dwInitialFrames);
    bytes_put32(p + 24, static_cast<std::uint32_t>(w.streams.size()));
    bytes_put32(p + 28, buffer);
    bytes_put32(p + 32, static_cast<std::uint32_t>(width));
    bytes_put32(p + 36, static_cast<std::uint32_t>(height));
}

void fill_strh(const WriteStream& w, std::uint8_t* p) {
    std::memset(p, 0, 56);
    const AVISTREAMINFOA& si = w.info;
    bytes_put32(p + 0, si.fccType);
    bytes_put32(p + 4, si.fccHandler);
    bytes_put32(p + 8, si.dwFlags);
    bytes_put16(p + 12, si.wPriority);
    bytes_put16(p + 14, si.wLanguage);
    bytes_put32(p + 16, si.dwInitialFrames);
    bytes_put32(p + 20, si.dwScale);
    bytes_put32(p + 24, si.dwRate);
    bytes_put32(p + 28, si.dwStart);
    bytes_put32(p + 32, size32(w.length));
    bytes_put32(p + 36, buffer_size(w));
    bytes_put32(p + 40, si.dwQuality);
    bytes_put32(p + 44, si.dwSampleSize);
    bytes_put16(p + 48, static_cast<std::uint16_t>(si.rcFrame.left));
    bytes_put16(p + 50, static_cast<std::uint16_t>(si.rcFrame.top));
    bytes_put16(p + 52, static_cast<std::uint16_t>(si.rcFrame.right));
    bytes_put16(p + 54, static_cast<std::uint16_t>(si.rcFrame.bottom));
}

struct Builder {
    std::vector<std::uint8_t> bytes;
    void u32(std::uint32_t v) {
        std::size_t at = bytes.size();
        bytes.resize(at + 4);
        bytes_put32(bytes.data() + at, v);
    }
    void raw(const void* data, std::size_t size) {
        auto p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + size);
    }
    void zeros(std::size_t n) { bytes.resize(bytes.size() + n, 0); }
    void pad() {
        if (bytes.size() & 1) bytes.push_back(0);
    }
    // Starts a LIST or RIFF; answers where its size goes.
    std::size_t open_list(DWORD id, DWORD type) {
        u32(id);
        std::size_t at = bytes.size();
        u32(0);
        u32(type);
        return at;
    }
    void close_list(std::size_t at) { bytes_put32(bytes.data() + at, static_cast<std::uint32_t>(bytes.size() - at - 4)); }
    std::size_t chunk(DWORD id, std::uint32_t size) {
        u32(id);
        u32(size);
        return bytes.size();
    }
};

// Writes RIFF, hdrl and the opening of movi. Counters are filled in later.
bool lay_out(IAVIFile& file) {
    WriteState& w = *file.write;
    Builder b;
    b.open_list(kRIFF, kAVI);  // size stays 0 until the RIFF is closed
    std::size_t hdrl = b.open_list(kLIST, khdrl);
    w.avih_pos = b.chunk(kavih, 56);
    b.zeros(56);
    for (std::size_t i = 0; i < w.streams.size(); ++i) {
        WriteStream& st = w.streams[i];
        st.ckid = stream_ckid(st, static_cast<unsigned>(i));
        std::size_t strl = b.open_list(kLIST, kstrl);
        st.strh_pos = b.chunk(kstrh, 56);
        b.zeros(56);
        b.chunk(kstrf, static_cast<std::uint32_t>(st.format.size()));
        b.raw(st.format.data(), st.format.size());
        b.pad();
        st.indx_pos = b.bytes.size();
        b.chunk(kJUNK, kIndxSize);
        b.zeros(kIndxSize);
        std::size_t name_len = strnlen(st.info.szName, sizeof st.info.szName);
        if (name_len > 0) {
            b.chunk(kstrn, static_cast<std::uint32_t>(name_len + 1));
            b.raw(st.info.szName, name_len);
            b.zeros(1);
            b.pad();
        }
        b.close_list(strl);
    }
    w.odml_pos = b.bytes.size();
    b.chunk(kJUNK, kOdmlSize);
    b.zeros(kOdmlSize);
    b.close_list(hdrl);
    std::uint64_t movi = b.bytes.size();
    b.open_list(kLIST, kmovi);  // size stays 0 until the RIFF is closed
    fill_avih(w, b.bytes.data() + w.avih_pos);
    for (const WriteStream& st : w.streams) fill_strh(st, b.bytes.data() + st.strh_pos);

    w.pos = 0;
    w.parts.assign(1, RiffPart{0, movi, 0, 0, std::vector<PartStream>(w.streams.size())});
    if (!append(w, file.fd, b.bytes.data(), b.bytes.size()) || !make_room(w, file.fd, w.pos + completion_bytes(w, 0))) {
        w.failed = true;  // not even an empty file fits: nothing can be completed
        return false;
    }
    w.laid_out = true;
    mark_room(w, file.fd);
    return true;
}

// Writes the ix## chunk of one stream of the open RIFF at the end of its movi.
bool write_ix(IAVIFile& file, RiffPart& part, unsigned stream) {
    WriteState& w = *file.write;
    PartStream& ps = part.streams[stream];
    const std::uint64_t base = part.movi_start;
    auto& s = w.scratch;
    s.assign(8 + 24 + 8 * ps.chunks, 0);
    bytes_put32(s.data(), mmioFOURCC('i', 'x', static_cast<char>('0' + stream / 10), static_cast<char>('0' + stream % 10)));
    bytes_put32(s.data() + 4, static_cast<std::uint32_t>(s.size() - 8));
    std::uint8_t* h = s.data() + 8;
    bytes_put16(h + 0, 2);
    h[2] = 0;
    h[3] = AVI_INDEX_OF_CHUNKS;
    bytes_put32(h + 4, static_cast<std::uint32_t>(ps.chunks));
    bytes_put32(h + 8, w.streams[stream].ckid);
    bytes_put64(h + 12, base);
    std::uint8_t* q = h + 24;
    for (std::size_t i = 0; i < part.entry_count; ++i) {
        const WriteEntry& e = w.entries[part.first_entry + i];
        if (e.stream != stream) continue;
        bytes_put32(q, static_cast<std::uint32_t>(e.offset + 8 - base));
        bytes_put32(q + 4, e.size | ((e.flags & AVIIF_KEYFRAME) ? 0 : AVI_INDEX_DELTAFRAME));
        q += 8;
    }
    ps.ix_offset = w.pos;
    ps.ix_size = static_cast<std::uint32_t>(s.size());
    return append(w, file.fd, s.data(), s.size());
}

void build_idx1(WriteState& w, std::vector<std::uint8_t>& s) {
    const RiffPart& part = w.parts[0];
    const std::uint64_t movi_fcc = part.movi_start + 8;  // offsets count from the 'movi' word
    s.assign(8 + 16 * part.entry_count, 0);
    bytes_put32(s.data(), kidx1);
    bytes_put32(s.data() + 4, static_cast<std::uint32_t>(16 * part.entry_count));
    for (std::size_t i = 0; i < part.entry_count; ++i) {
        const WriteEntry& e = w.entries[part.first_entry + i];
        std::uint8_t* q = s.data() + 8 + 16 * i;
        bytes_put32(q, w.streams[e.stream].ckid);
        bytes_put32(q + 4, e.flags & AVIIF_KEYFRAME);
        bytes_put32(q + 8, static_cast<std::uint32_t>(e.offset - movi_fcc));
        bytes_put32(q + 12, e.size);
    }
}

// Closes the open RIFF: its index chunks and its sizes. `last` says whether
// the file ends here.
bool close_riff(IAVIFile& file, bool last) {
    WriteState& w = *file.write;
    RiffPart& part = w.parts.back();
    const bool first = w.parts.size() == 1;
    const bool opendml = !first || !last;
    if (opendml)
        for (unsigned i = 0; i < w.streams.size(); ++i)
            if (part.streams[i].chunks > 0) write_ix(file, part, i);
    patch32(w, file.fd, part.movi_start + 4, size32(w.pos - part.movi_start - 8));
    if (first) {
        if (last) {
            build_idx1(w, w.scratch);
            append(w, file.fd, w.scratch.data(), w.scratch.size());
        } else {
            // Room for idx1, filled when the file is released: until then a
            // reader that finds no index scans every part.
            std::uint32_t room = static_cast<std::uint32_t>(16 * part.entry_count);
            w.idx1_room = w.pos;
            w.scratch.assign(8 + room, 0);
            bytes_put32(w.scratch.data(), kJUNK);
            bytes_put32(w.scratch.data() + 4, room);
            append(w, file.fd, w.scratch.data(), w.scratch.size());
        }
    }
    patch32(w, file.fd, part.riff_start + 4, size32(w.pos - part.riff_start - 8));
    return !w.failed;
}

bool open_avix(IAVIFile& file) {
    WriteState& w = *file.write;
    std::uint8_t b[24];
    bytes_put32(b, kRIFF);
    bytes_put32(b + 4, 0);
    bytes_put32(b + 8, kAVIX);
    bytes_put32(b + 12, kLIST);
    bytes_put32(b + 16, 0);
    bytes_put32(b + 20, kmovi);
    std::uint64_t start = w.pos;
    w.parts.push_back(RiffPart{start, start + 12, w.entries.size(), 0, std::vector<PartStream>(w.streams.size())});
    return append(w, file.fd, b, sizeof b);
}

// Bytes the open RIFF will need to be closed after one more chunk.
std::uint64_t closing_bytes(const WriteState& w) {
    const RiffPart& part = w.parts.back();
    std::uint64_t n = part.entry_count + 1;
    std::uint64_t bytes = ix_bytes(w, n);
    if (w.parts.size() == 1) bytes += 8 + 16 * n;  // idx1
    return bytes;
}

bool write_chunk(IAVIFile& file, unsigned stream, const void* data, std::uint32_t size, DWORD flags,
                 std::uint64_t samples) {
    WriteState& w = *file.write;
    if (w.failed) return false;
    WriteStream& st = w.streams[stream];
    const std::uint64_t chunk = 8 + static_cast<std::uint64_t>(size) + (size & 1);
    RiffPart* part = &w.parts.back();
    if (part->entry_count > 0 && w.pos - part->riff_start + chunk + closing_bytes(w) > w.riff_limit) {
        if (w.parts.size() >= kSuperIndexEntries) {
            w.failed = true;  // the super index is full; the file stays complete up to here
            return false;
        }
        // Room first for all the split writes (this RIFF's indexes, the next
        // RIFF's opening, this chunk and the next RIFF's index), so that
        // running out of space leaves the file whole, before the split.
        const std::uint64_t split = closing_bytes(w) + 24 + chunk + ix_bytes(w, 1);
        if (!make_room(w, file.fd, w.pos + split) || !close_riff(file, false) || !open_avix(file)) {
            w.failed = true;
            return false;
        }
        part = &w.parts.back();
    }
    std::uint8_t header[8];
    bytes_put32(header, st.ckid);
    bytes_put32(header + 4, size);
    static const std::uint8_t zero = 0;
    iovec iov[3] = {{header, 8}, {const_cast<void*>(data), size}, {const_cast<std::uint8_t*>(&zero), size & 1u}};
    const int count = (size & 1) ? 3 : 2;
    // The chunk, then the room to complete the file with it. Either failing
    // leaves the chunk out: completing writes over what landed of it.
    if (put(w, file.fd, w.pos, iov, count) != chunk) {
        w.failed = true;
        return false;
    }
    w.room_end = std::max(w.room_end, w.pos + chunk);
    if (!make_room(w, file.fd, w.pos + chunk + completion_bytes(w, part->entry_count + 1))) {
        w.failed = true;
        return false;
    }
    w.entries.push_back(WriteEntry{w.pos, size, static_cast<std::uint16_t>(stream),
                                   static_cast<std::uint16_t>(flags & AVIIF_KEYFRAME)});
    w.pos += chunk;
    part->entry_count++;
    part->streams[stream].chunks++;
    part->streams[stream].samples += samples;
    st.chunks++;
    st.length += samples;
    st.largest = std::max(st.largest, size);
    mark_room(w, file.fd);
    return true;
}

// Writes the super index of a stream that went past the first RIFF into the
// room its strl keeps for it: one entry for each part that holds its chunks.
bool write_indx(IAVIFile& file, unsigned stream) {
    WriteState& w = *file.write;
    auto& s = w.scratch;
    s.assign(8 + kIndxSize, 0);
    bytes_put32(s.data(), kindx);
    bytes_put32(s.data() + 4, kIndxSize);
    std::uint8_t* h = s.data() + 8;
    bytes_put16(h, 4);
    h[3] = AVI_INDEX_OF_INDEXES;
    bytes_put32(h + 8, w.streams[stream].ckid);
    std::uint32_t used = 0;
    for (const RiffPart& part : w.parts) {
        const PartStream& ps = part.streams[stream];
        if (ps.chunks == 0) continue;
        std::uint8_t* q = h + 24 + 16 * used++;
        bytes_put64(q, ps.ix_offset);
        bytes_put32(q + 8, ps.ix_size);
        bytes_put32(q + 12, size32(ps.samples));
    }
    if (used == 0) return true;  // a stream without chunks keeps its JUNK
    bytes_put32(h + 4, used);
    return pwrite_all(w, file.fd, w.streams[stream].indx_pos, s.data(), s.size());
}

}  // namespace

void WriteStateDeleter::operator()(WriteState* state) const { delete state; }

HRESULT write_open(IAVIFile& file) {
    file.write.reset(new WriteState);
    file.write->riff_limit = g_riff_limit;
    file.write->write_limit = g_write_limit;
    // A write past the file-size limit must fail like a full disk, not end
    // the process before it can complete the file.
    struct sigaction current {};
    if (sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) signal(SIGXFSZ, SIG_IGN);
    return AVIERR_OK;
}

HRESULT write_create_stream(IAVIFile& file, const AVISTREAMINFOA& info, IAVIStream** stream) {
    WriteState& w = *file.write;
    // Streams come before the first chunk (the headers are laid out then);
    // chunk ids have two digits.
    if (w.laid_out || w.failed || w.streams.size() >= 100) return AVIERR_UNSUPPORTED;
    WriteStream& st = w.streams.emplace_back();
    st.info = info;
    st.info.szName[sizeof st.info.szName - 1] = 0;
    // Index entries for the frames the caller expects, and as many for each
    // audio stream (interleaved, it comes in about a chunk a frame).
    if (!is_audio(st) && info.dwLength > 0) w.frames_expected += std::min<DWORD>(info.dwLength, 1u << 20);
    if (w.frames_expected > 0) w.entries.reserve(w.frames_expected * w.streams.size());
    auto handle = std::make_unique<IAVIStream>();
    handle->file = &file;
    handle->number = static_cast<unsigned>(w.streams.size() - 1);
    handle->refs = 1;
    *stream = handle.get();
    file.handles.push_back(std::move(handle));
    return AVIERR_OK;
}

HRESULT write_set_format(IAVIStream& stream, const void* format, LONG size) {
    WriteState& w = *stream.file->write;
    if (stream.number >= w.streams.size()) return AVIERR_BADHANDLE;
    WriteStream& st = w.streams[stream.number];
    if (!format || size <= 0 || size > (1 << 20)) return AVIERR_BADPARAM;
    if (w.laid_out) {
        // The format lies in the headers already; only the same bytes again are fine.
        if (st.format.size() == static_cast<std::size_t>(size) && std::memcmp(st.format.data(), format, st.format.size()) == 0)
            return AVIERR_OK;
        return AVIERR_UNSUPPORTED;
    }
    auto p = static_cast<const std::uint8_t*>(format);
    st.format.assign(p, p + size);
    return AVIERR_OK;
}

HRESULT write_sample(IAVIStream& stream, LONG position, LONG samples, const void* data, LONG size, DWORD flags) {
    WriteState& w = *stream.file->write;
    if (stream.number >= w.streams.size()) return AVIERR_BADHANDLE;
    const unsigned number = stream.number;
    if (size < 0 || (size > 0 && !data)) return AVIERR_BADPARAM;
    // Every stream's format lies in the headers, which the first chunk lays out.
    for (const WriteStream& st : w.streams)
        if (st.format.empty()) return AVIERR_BADFORMAT;
    if (w.failed) return AVIERR_FILEWRITE;
    const bool audio = is_audio(w.streams[number]);
    if (audio) {
        // Audio is appended: a gap can't be filled without knowing its silence.
        if (position < -1 || samples < 0) return AVIERR_BADPARAM;
    } else {
        // Samples are appended: a position already written can't be written again,
        // and a gap is filled with empty frames so that frame numbers stay true.
        const std::size_t count = w.streams[number].chunks;
        if (position < 0 || static_cast<std::size_t>(position) < count) return AVIERR_BADPARAM;
        if (static_cast<std::size_t>(position) - count > static_cast<std::size_t>(kMaxGap)) return AVIERR_BADPARAM;
    }
    if (!w.laid_out && !lay_out(*stream.file)) return AVIERR_FILEWRITE;
    if (!audio)
        while (w.streams[number].chunks < static_cast<std::size_t>(position))
            if (!write_chunk(*stream.file, number, nullptr, 0, 0, 1)) return AVIERR_FILEWRITE;
    if (!write_chunk(*stream.file, number, data, static_cast<std::uint32_t>(size), audio ? AVIIF_KEYFRAME : flags,
                     audio ? static_cast<std::uint64_t>(samples) : 1))
        return AVIERR_FILEWRITE;
    return AVIERR_OK;
}

void write_stream_info(const IAVIStream& stream, AVISTREAMINFOA& info) {
    const WriteState& w = *stream.file->write;
    if (stream.number >= w.streams.size()) return;
    const WriteStream& st = w.streams[stream.number];
    info = st.info;
    info.dwLength = size32(st.length);
    info.dwSuggestedBufferSize = buffer_size(st);
}

bool write_finish(IAVIFile& file) {
    WriteState& w = *file.write;
    if (!w.laid_out && !w.failed) lay_out(file);
    if (!w.laid_out) return false;
    // A failed chunk write stops the chunks, not the completion: everything
    // below goes into room the file already has.
    w.failed = false;
    close_riff(file, true);
    const int fd = file.fd;
    if (w.parts.size() > 1) {
        build_idx1(w, w.scratch);
        if (!w.failed && !pwrite_all(w, fd, w.idx1_room, w.scratch.data(), w.scratch.size())) w.failed = true;
        for (unsigned i = 0; i < w.streams.size(); ++i)
            if (!w.failed && !write_indx(file, i)) w.failed = true;
        const WriteStream* main = main_stream(w);
        std::array<std::uint8_t, 8 + kOdmlSize> odml{};
        bytes_put32(odml.data(), kLIST);
        bytes_put32(odml.data() + 4, kOdmlSize);
        bytes_put32(odml.data() + 8, kodml);
        bytes_put32(odml.data() + 12, kdmlh);
        bytes_put32(odml.data() + 16, 248);
        bytes_put32(odml.data() + 20, main ? static_cast<std::uint32_t>(main->chunks) : 0);
        if (!w.failed && !pwrite_all(w, fd, w.odml_pos, odml.data(), odml.size())) w.failed = true;
    }
    std::uint8_t h[56];
    fill_avih(w, h);
    if (!w.failed && !pwrite_all(w, fd, w.avih_pos, h, 56)) w.failed = true;
    for (const WriteStream& st : w.streams) {
        fill_strh(st, h);
        if (!w.failed && !pwrite_all(w, fd, st.strh_pos, h, 56)) w.failed = true;
    }
    // Cut away the rest of the room and whatever landed of a failed chunk.
    struct stat st {};
    if (!w.failed && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        ftruncate(fd, static_cast<off_t>(w.pos)) != 0)
        w.failed = true;
    return !w.failed;
}

}  // namespace avi

IAVIFile::~IAVIFile() {
    if (fd >= 0) close(fd);
}
