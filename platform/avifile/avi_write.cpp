// Writing AVI files: one stream, one sample per chunk, written straight
// through so that a process that dies mid-run leaves every frame on disk.
//
// Layout. The headers are laid out when the first sample arrives (the format
// is known then) with the final sizes of every header chunk; only counters and
// the RIFF / movi sizes change later. Two JUNK chunks hold the room of the
// OpenDML super index (in strl) and of the odml list (in hdrl). As long as the
// file stays under the RIFF limit it is a plain AVI with idx1. Past the limit
// the first RIFF is closed (ix00, movi size, JUNK room for its idx1, RIFF size)
// and the file continues in 'RIFF AVIX' parts, each with its own ix00; the JUNK
// rooms become indx and odml when the file is released.
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

struct WriteEntry {
    std::uint64_t offset;  // absolute offset of the chunk header
    std::uint32_t size;    // data bytes
    std::uint32_t flags;   // AVIIF_KEYFRAME or 0
};

struct RiffPart {
    std::uint64_t riff_start;  // offset of "RIFF"
    std::uint64_t movi_start;  // offset of "LIST" of its movi
    std::size_t first_frame;   // index of its first frame in WriteState::frames
    std::size_t frame_count;
    std::uint64_t ix_offset;   // offset of its ix chunk, once written
    std::uint32_t ix_size;     // whole ix chunk with header
};

struct WriteState {
    bool has_stream = false;
    AVISTREAMINFOA info{};
    std::vector<std::uint8_t> format;
    bool laid_out = false;
    bool failed = false;    // a write failed: no further frame is taken
    std::uint64_t pos = 0;  // end of what has been written
    std::uint64_t room_end = 0;    // the file's bytes are on disk up to here (frames, then completion room)
    std::uint64_t write_limit = 0;  // tests: the file can't grow past this; 0 = no limit
    std::uint64_t riff_limit = kDefaultRiffLimit;
    DWORD ckid = 0;
    // Header positions, known once laid out.
    std::uint64_t avih_pos = 0, strh_pos = 0, indx_pos = 0, odml_pos = 0;
    std::uint64_t idx1_room = 0;  // offset of the JUNK that will hold idx1, after the first split
    std::vector<WriteEntry> frames;
    std::vector<RiffPart> parts;
    std::uint32_t largest = 0;
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

bool is_video(const WriteState& w) { return w.info.fccType == streamtypeVIDEO; }

// Bytes that completing the file writes behind the last chunk when the open
// RIFF holds `frames` frames: idx1 in the first RIFF, ix00 in an AVIX part.
std::uint64_t completion_bytes(const WriteState& w, std::uint64_t frames) {
    return w.parts.size() <= 1 ? 8 + 16 * frames : 8 + 24 + 8 * frames;
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

const BITMAPINFOHEADER* video_format(const WriteState& w) {
    if (!is_video(w) || w.format.size() < sizeof(BITMAPINFOHEADER)) return nullptr;
    return reinterpret_cast<const BITMAPINFOHEADER*>(w.format.data());
}

void fill_avih(const WriteState& w, std::uint8_t* p) {
    std::memset(p, 0, 56);
    const AVISTREAMINFOA& si = w.info;
    std::uint32_t usec = 0;
    std::uint32_t max_bytes = 0;
    if (si.dwRate) {
        usec = size32(static_cast<std::uint64_t>(std::llround(1e6 * si.dwScale / si.dwRate)));
        double rate = static_cast<double>(si.dwRate) / (si.dwScale ? si.dwScale : 1);
        max_bytes = size32(static_cast<std::uint64_t>(std::ceil((w.largest + 8.0) * rate)));
    }
    std::uint32_t first_riff_frames = w.parts.empty() ? 0 : static_cast<std::uint32_t>(w.parts[0].frame_count);
    std::int32_t width = si.rcFrame.right - si.rcFrame.left;
    std::int32_t height = si.rcFrame.bottom - si.rcFrame.top;
    if (const BITMAPINFOHEADER* bi = video_format(w)) {
        width = bi->biWidth;
        height = bi->biHeight < 0 ? -bi->biHeight : bi->biHeight;
    }
    bytes_put32(p + 0, usec);
    bytes_put32(p + 4, max_bytes);
    bytes_put32(p + 8, 0);  // padding granularity
    bytes_put32(p + 12, AVIF_HASINDEX | AVIF_ISINTERLEAVED | AVIF_TRUSTCKTYPE);
    bytes_put32(p + 16, first_riff_frames);
    bytes_put32(p + 20, si.dwInitialFrames);
    bytes_put32(p + 24, w.has_stream ? 1 : 0);
    bytes_put32(p + 28, std::max<std::uint32_t>(si.dwSuggestedBufferSize, w.largest));
    bytes_put32(p + 32, static_cast<std::uint32_t>(width));
    bytes_put32(p + 36, static_cast<std::uint32_t>(height));
}

void fill_strh(const WriteState& w, std::uint8_t* p) {
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
    bytes_put32(p + 32, static_cast<std::uint32_t>(w.frames.size()));
    bytes_put32(p + 36, std::max<std::uint32_t>(si.dwSuggestedBufferSize, w.largest));
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
    if (w.has_stream) {
        std::size_t strl = b.open_list(kLIST, kstrl);
        w.strh_pos = b.chunk(kstrh, 56);
        b.zeros(56);
        b.chunk(kstrf, static_cast<std::uint32_t>(w.format.size()));
        b.raw(w.format.data(), w.format.size());
        b.pad();
        w.indx_pos = b.bytes.size();
        b.chunk(kJUNK, kIndxSize);
        b.zeros(kIndxSize);
        std::size_t name_len = strnlen(w.info.szName, sizeof w.info.szName);
        if (name_len > 0) {
            b.chunk(kstrn, static_cast<std::uint32_t>(name_len + 1));
            b.raw(w.info.szName, name_len);
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
    if (w.has_stream) fill_strh(w, b.bytes.data() + w.strh_pos);

    w.pos = 0;
    w.parts.assign(1, RiffPart{0, movi, 0, 0, 0, 0});
    if (!append(w, file.fd, b.bytes.data(), b.bytes.size()) || !make_room(w, file.fd, w.pos + completion_bytes(w, 0))) {
        w.failed = true;  // not even an empty file fits: nothing can be completed
        return false;
    }
    w.laid_out = true;
    mark_room(w, file.fd);
    return true;
}

// Writes the ix chunk of the open RIFF at the end of its movi.
bool write_ix(IAVIFile& file, RiffPart& part) {
    WriteState& w = *file.write;
    const std::uint64_t base = part.movi_start;
    auto& s = w.scratch;
    s.assign(8 + 24 + 8 * part.frame_count, 0);
    bytes_put32(s.data(), fcc("ix00"));
    bytes_put32(s.data() + 4, static_cast<std::uint32_t>(s.size() - 8));
    std::uint8_t* h = s.data() + 8;
    bytes_put16(h + 0, 2);
    h[2] = 0;
    h[3] = AVI_INDEX_OF_CHUNKS;
    bytes_put32(h + 4, static_cast<std::uint32_t>(part.frame_count));
    bytes_put32(h + 8, w.ckid);
    bytes_put64(h + 12, base);
    for (std::size_t i = 0; i < part.frame_count; ++i) {
        const WriteEntry& e = w.frames[part.first_frame + i];
        std::uint8_t* q = h + 24 + 8 * i;
        bytes_put32(q, static_cast<std::uint32_t>(e.offset + 8 - base));
        bytes_put32(q + 4, e.size | ((e.flags & AVIIF_KEYFRAME) ? 0 : AVI_INDEX_DELTAFRAME));
    }
    part.ix_offset = w.pos;
    part.ix_size = static_cast<std::uint32_t>(s.size());
    return append(w, file.fd, s.data(), s.size());
}

void build_idx1(WriteState& w, std::vector<std::uint8_t>& s) {
    const RiffPart& part = w.parts[0];
    const std::uint64_t movi_fcc = part.movi_start + 8;  // offsets count from the 'movi' word
    s.assign(8 + 16 * part.frame_count, 0);
    bytes_put32(s.data(), kidx1);
    bytes_put32(s.data() + 4, static_cast<std::uint32_t>(16 * part.frame_count));
    for (std::size_t i = 0; i < part.frame_count; ++i) {
        const WriteEntry& e = w.frames[part.first_frame + i];
        std::uint8_t* q = s.data() + 8 + 16 * i;
        bytes_put32(q, w.ckid);
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
    if (opendml) write_ix(file, part);
    patch32(w, file.fd, part.movi_start + 4, size32(w.pos - part.movi_start - 8));
    if (first) {
        if (last) {
            build_idx1(w, w.scratch);
            append(w, file.fd, w.scratch.data(), w.scratch.size());
        } else {
            // Room for idx1, filled when the file is released: until then a
            // reader that finds no index scans every part.
            std::uint32_t room = static_cast<std::uint32_t>(16 * part.frame_count);
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
    w.parts.push_back(RiffPart{start, start + 12, w.frames.size(), 0, 0, 0});
    return append(w, file.fd, b, sizeof b);
}

// Bytes the open RIFF will need to be closed after one more chunk.
std::uint64_t closing_bytes(const WriteState& w) {
    const RiffPart& part = w.parts.back();
    std::uint64_t n = part.frame_count + 1;
    std::uint64_t bytes = 8 + 24 + 8 * n;          // ix
    if (w.parts.size() == 1) bytes += 8 + 16 * n;  // idx1
    return bytes;
}

bool write_chunk(IAVIFile& file, const void* data, std::uint32_t size, DWORD flags) {
    WriteState& w = *file.write;
    if (w.failed) return false;
    const std::uint64_t chunk = 8 + static_cast<std::uint64_t>(size) + (size & 1);
    RiffPart* part = &w.parts.back();
    if (part->frame_count > 0 && w.pos - part->riff_start + chunk + closing_bytes(w) > w.riff_limit) {
        if (w.parts.size() >= kSuperIndexEntries) {
            w.failed = true;  // the super index is full; the file stays complete up to here
            return false;
        }
        // Room first for all the split writes (this RIFF's indexes, the next
        // RIFF's opening, this chunk and the next RIFF's index), so that
        // running out of space leaves the file whole, before the split.
        const std::uint64_t split = closing_bytes(w) + 24 + chunk + 8 + 24 + 8;
        if (!make_room(w, file.fd, w.pos + split) || !close_riff(file, false) || !open_avix(file)) {
            w.failed = true;
            return false;
        }
        part = &w.parts.back();
    }
    std::uint8_t header[8];
    bytes_put32(header, w.ckid);
    bytes_put32(header + 4, size);
    static const std::uint8_t zero = 0;
    iovec iov[3] = {{header, 8}, {const_cast<void*>(data), size}, {const_cast<std::uint8_t*>(&zero), size & 1u}};
    const int count = (size & 1) ? 3 : 2;
    // The chunk, then the room to complete the file with it. Either failing
    // leaves the frame out: completing writes over what landed of it.
    if (put(w, file.fd, w.pos, iov, count) != chunk) {
        w.failed = true;
        return false;
    }
    w.room_end = std::max(w.room_end, w.pos + chunk);
    if (!make_room(w, file.fd, w.pos + chunk + completion_bytes(w, part->frame_count + 1))) {
        w.failed = true;
        return false;
    }
    w.frames.push_back(WriteEntry{w.pos, size, flags & AVIIF_KEYFRAME});
    w.pos += chunk;
    part->frame_count++;
    w.largest = std::max(w.largest, size);
    mark_room(w, file.fd);
    return true;
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
    if (w.has_stream) return AVIERR_UNSUPPORTED;  // one stream per file written
    w.has_stream = true;
    w.info = info;
    w.info.szName[sizeof w.info.szName - 1] = 0;
    if (info.dwLength > 0) w.frames.reserve(std::min<DWORD>(info.dwLength, 1u << 20));
    auto handle = std::make_unique<IAVIStream>();
    handle->file = &file;
    handle->refs = 1;
    *stream = handle.get();
    file.handles.push_back(std::move(handle));
    return AVIERR_OK;
}

HRESULT write_set_format(IAVIFile& file, const void* format, LONG size) {
    WriteState& w = *file.write;
    if (!w.has_stream) return AVIERR_BADHANDLE;
    if (!format || size <= 0 || size > (1 << 20)) return AVIERR_BADPARAM;
    if (w.laid_out) {
        // The format lies in the headers already; only the same bytes again are fine.
        if (w.format.size() == static_cast<std::size_t>(size) && std::memcmp(w.format.data(), format, w.format.size()) == 0)
            return AVIERR_OK;
        return AVIERR_UNSUPPORTED;
    }
    auto p = static_cast<const std::uint8_t*>(format);
    w.format.assign(p, p + size);
    return AVIERR_OK;
}

HRESULT write_sample(IAVIFile& file, LONG position, const void* data, LONG size, DWORD flags) {
    WriteState& w = *file.write;
    if (!w.has_stream) return AVIERR_BADHANDLE;
    if (size < 0 || (size > 0 && !data)) return AVIERR_BADPARAM;
    if (w.format.empty()) return AVIERR_BADFORMAT;
    if (w.failed) return AVIERR_FILEWRITE;
    // Samples are appended: a position already written can't be written again,
    // and a gap is filled with empty frames so that frame numbers stay true.
    const std::size_t count = w.frames.size();
    if (position < 0 || static_cast<std::size_t>(position) < count) return AVIERR_BADPARAM;
    if (static_cast<std::size_t>(position) - count > static_cast<std::size_t>(kMaxGap)) return AVIERR_BADPARAM;
    if (!w.laid_out) {
        const BITMAPINFOHEADER* bi = video_format(w);
        w.ckid = chunk_id(0, is_video(w) ? 'd' : 'w',
                          is_video(w) ? (bi && bi->biCompression == BI_RGB ? 'b' : 'c') : 'b');
        if (!lay_out(file)) return AVIERR_FILEWRITE;
    }
    while (w.frames.size() < static_cast<std::size_t>(position))
        if (!write_chunk(file, nullptr, 0, 0)) return AVIERR_FILEWRITE;
    if (!write_chunk(file, data, static_cast<std::uint32_t>(size), flags)) return AVIERR_FILEWRITE;
    return AVIERR_OK;
}

void write_stream_info(const IAVIFile& file, AVISTREAMINFOA& info) {
    const WriteState& w = *file.write;
    info = w.info;
    info.dwLength = static_cast<DWORD>(w.frames.size());
    info.dwSuggestedBufferSize = std::max<std::uint32_t>(w.info.dwSuggestedBufferSize, w.largest);
}

bool write_finish(IAVIFile& file) {
    WriteState& w = *file.write;
    if (!w.laid_out && !w.failed) {
        if (w.has_stream && w.ckid == 0) {
            const BITMAPINFOHEADER* bi = video_format(w);
            w.ckid = chunk_id(0, 'd', bi && bi->biCompression == BI_RGB ? 'b' : 'c');
        }
        lay_out(file);
    }
    if (!w.laid_out) return false;
    // A failed frame write stops the frames, not the completion: everything
    // below goes into room the file already has.
    w.failed = false;
    close_riff(file, true);
    const int fd = file.fd;
    if (w.parts.size() > 1) {
        build_idx1(w, w.scratch);
        if (!w.failed && !pwrite_all(w, fd, w.idx1_room, w.scratch.data(), w.scratch.size())) w.failed = true;
        // The super index over every part's ix chunk, in the room kept for it.
        auto& s = w.scratch;
        s.assign(8 + kIndxSize, 0);
        bytes_put32(s.data(), kindx);
        bytes_put32(s.data() + 4, kIndxSize);
        std::uint8_t* h = s.data() + 8;
        bytes_put16(h, 4);
        h[3] = AVI_INDEX_OF_INDEXES;
        bytes_put32(h + 4, static_cast<std::uint32_t>(w.parts.size()));
        bytes_put32(h + 8, w.ckid);
        for (std::size_t i = 0; i < w.parts.size(); ++i) {
            std::uint8_t* q = h + 24 + 16 * i;
            bytes_put64(q, w.parts[i].ix_offset);
            bytes_put32(q + 8, w.parts[i].ix_size);
            bytes_put32(q + 12, static_cast<std::uint32_t>(w.parts[i].frame_count));
        }
        if (!w.failed && !pwrite_all(w, fd, w.indx_pos, s.data(), s.size())) w.failed = true;
        std::array<std::uint8_t, 8 + kOdmlSize> odml{};
        bytes_put32(odml.data(), kLIST);
        bytes_put32(odml.data() + 4, kOdmlSize);
        bytes_put32(odml.data() + 8, kodml);
        bytes_put32(odml.data() + 12, kdmlh);
        bytes_put32(odml.data() + 16, 248);
        bytes_put32(odml.data() + 20, static_cast<std::uint32_t>(w.frames.size()));
        if (!w.failed && !pwrite_all(w, fd, w.odml_pos, odml.data(), odml.size())) w.failed = true;
    }
    std::uint8_t h[56];
    fill_avih(w, h);
    if (!w.failed && !pwrite_all(w, fd, w.avih_pos, h, 56)) w.failed = true;
    if (w.has_stream) {
        fill_strh(w, h);
        if (!w.failed && !pwrite_all(w, fd, w.strh_pos, h, 56)) w.failed = true;
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
