// Reading AVI files: headers of every stream and, for video and audio
// streams, where each chunk lies (and for video whether it is a key frame);
// reading audio by its samples.
//
// Every size read from the file is bounded by the file's size before it is
// used, and every allocation is bounded by it too: a hostile file costs at
// most a few times its own size in memory and one pass over its chunks.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/avifile/avi_internal.h"

namespace avi {

bool read_at(int fd, std::uint64_t offset, void* data, std::size_t size) {
    auto p = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        ssize_t n = pread(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

namespace {

constexpr std::uint64_t kMaxHeaderList = 16u << 20;  // hdrl bigger than this is not a header
constexpr std::size_t kMaxFormat = 1u << 20;
constexpr std::size_t kMaxStreams = 100;  // chunk ids have two digits

struct Span {
    std::uint64_t begin;
    std::uint64_t end;
};

// "##db" and "##dc" hold pictures, "##wb" sound; "##pc" (palette change)
// and the rest are neither.
bool is_frame_chunk(DWORD id, const ReadStream& s) {
    if (chunk_stream(id) != static_cast<int>(s.number)) return false;
    char a = static_cast<char>((id >> 16) & 0xFF), b = static_cast<char>(id >> 24);
    if (s.info.fccType == streamtypeAUDIO) return a == 'w' && b == 'b';
    return a == 'd' && (b == 'b' || b == 'c');
}

bool is_indexed(const ReadStream& s) { return s.info.fccType == streamtypeVIDEO || s.info.fccType == streamtypeAUDIO; }

// Reads small pieces through a window of the file, so that walking many
// small chunks costs few system calls.
class Window {
public:
    Window(int fd, std::uint64_t size) : fd_(fd), size_(size), buffer_(64 * 1024) {}
    bool read(std::uint64_t at, void* out, std::size_t n) {
        if (at < base_ || at + n > base_ + filled_) {
            if (at > size_ || n > buffer_.size()) return false;
            filled_ = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), size_ - at));
            base_ = at;
            if (filled_ < n || !read_at(fd_, at, buffer_.data(), filled_)) {
                filled_ = 0;
                return false;
            }
        }
        std::memcpy(out, buffer_.data() + (at - base_), n);
        return true;
    }

private:
    int fd_;
    std::uint64_t size_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t base_ = 0;
    std::size_t filled_ = 0;
};

struct SuperIndex {
    std::vector<std::uint8_t> bytes;  // indx data as stored
};

struct Parser {
    IAVIFile& file;
    int fd;
    std::uint64_t size;
    std::vector<Span> movi;  // data of each movi list (after the 'movi' word)
    std::uint64_t first_movi_list = 0;  // offset of the first movi's 'LIST'
    bool have_movi = false;
    Span idx1{0, 0};
    std::vector<SuperIndex> indx;  // per stream
    std::uint32_t dmlh_frames = 0;
    std::size_t max_entries = 0;

    Window window;

    explicit Parser(IAVIFile& f) : file(f), fd(f.fd), size(f.file_size), window(f.fd, f.file_size) {}

    // The end of a chunk whose data starts at `data` with the stored size,
    // clamped to `limit`. A stored size of 0 for a list means "to the limit"
    // (a file whose writer died before closing it).
    static std::uint64_t chunk_end(std::uint64_t data, std::uint32_t stored, std::uint64_t limit) {
        return std::min<std::uint64_t>(data + stored, limit);
    }

    void parse_strl(const std::uint8_t* p, std::size_t n) {
        if (file.streams.size() >= kMaxStreams) return;
        auto stream = std::make_unique<ReadStream>();
        stream->number = static_cast<unsigned>(file.streams.size());
        AVISTREAMINFOA& si = stream->info;
        SuperIndex super;
        std::size_t at = 0;
        while (at + 8 <= n) {
            DWORD id = bytes_get32(p + at);
            std::size_t len = std::min<std::size_t>(bytes_get32(p + at + 4), n - at - 8);
            const std::uint8_t* d = p + at + 8;
            if (id == kstrh && len >= 48) {
                si.fccType = bytes_get32(d);
                si.fccHandler = bytes_get32(d + 4);
                si.dwFlags = bytes_get32(d + 8);
                si.wPriority = bytes_get16(d + 12);
                si.wLanguage = bytes_get16(d + 14);
                si.dwInitialFrames = bytes_get32(d + 16);
                si.dwScale = bytes_get32(d + 20);
                si.dwRate = bytes_get32(d + 24);
                si.dwStart = bytes_get32(d + 28);
                si.dwLength = bytes_get32(d + 32);
                si.dwSuggestedBufferSize = bytes_get32(d + 36);
                si.dwQuality = bytes_get32(d + 40);
                si.dwSampleSize = bytes_get32(d + 44);
                if (len >= 56) {
                    si.rcFrame.left = static_cast<std::int16_t>(bytes_get16(d + 48));
                    si.rcFrame.top = static_cast<std::int16_t>(bytes_get16(d + 50));
                    si.rcFrame.right = static_cast<std::int16_t>(bytes_get16(d + 52));
                    si.rcFrame.bottom = static_cast<std::int16_t>(bytes_get16(d + 54));
                }
            } else if (id == kstrf) {
                stream->format.assign(d, d + std::min(len, kMaxFormat));
            } else if (id == kstrn) {
                std::size_t k = 0;
                while (k < len && k + 1 < sizeof si.szName && d[k]) {
                    si.szName[k] = static_cast<char>(d[k]);
                    ++k;
                }
                si.szName[k] = 0;
            } else if (id == kindx && len >= 24) {
                super.bytes.assign(d, d + len);
            }
            at += 8 + len + (len & 1);
        }
        // Readers show a frame rectangle of the picture's size when the file has none.
        if (si.fccType == streamtypeVIDEO && stream->format.size() >= sizeof(BITMAPINFOHEADER) &&
            (si.rcFrame.right <= si.rcFrame.left || si.rcFrame.bottom <= si.rcFrame.top)) {
            LONG w = static_cast<LONG>(bytes_get32(stream->format.data() + 4));
            LONG h = static_cast<LONG>(bytes_get32(stream->format.data() + 8));
            si.rcFrame = RECT{0, 0, w, h < 0 ? -h : h};
        }
        file.streams.push_back(std::move(stream));
        indx.push_back(std::move(super));
    }

    void parse_hdrl(const std::uint8_t* p, std::size_t n) {
        std::size_t at = 0;
        while (at + 8 <= n) {
            DWORD id = bytes_get32(p + at);
            std::size_t len = std::min<std::size_t>(bytes_get32(p + at + 4), n - at - 8);
            if (id == kLIST && len >= 4) {
                DWORD type = bytes_get32(p + at + 8);
                if (type == kstrl) parse_strl(p + at + 12, len - 4);
                if (type == kodml) {
                    const std::uint8_t* d = p + at + 12;
                    std::size_t m = len - 4;
                    if (m >= 12 && bytes_get32(d) == kdmlh) dmlh_frames = bytes_get32(d + 8);
                }
            }
            at += 8 + len + (len & 1);
        }
    }

    // Walks the chunks of one RIFF's body.
    bool parse_riff_body(std::uint64_t at, std::uint64_t end, bool first, int depth = 0) {
        std::uint8_t h[12];
        while (at + 8 <= end) {
            if (!window.read(at, h, 12 <= end - at ? 12 : 8)) return false;
            DWORD id = bytes_get32(h);
            std::uint32_t stored = bytes_get32(h + 4);
            std::uint64_t data = at + 8;
            // A list of size 0 is one whose writer died before closing it.
            std::uint64_t stop = (id == kLIST || id == kRIFF) && stored == 0 ? end : chunk_end(data, stored, end);
            if (id == kLIST && stop - data >= 4) {
                DWORD type = bytes_get32(h + 8);
                if (type == kmovi) {
                    if (!have_movi) first_movi_list = at;
                    have_movi = true;
                    movi.push_back(Span{data + 4, stop});
                } else if (type == khdrl && first && file.streams.empty()) {
                    if (stop - data > kMaxHeaderList) return false;
                    std::vector<std::uint8_t> hdrl(static_cast<std::size_t>(stop - data - 4));
                    if (!read_at(fd, data + 4, hdrl.data(), hdrl.size())) return false;
                    parse_hdrl(hdrl.data(), hdrl.size());
                }
            } else if (id == kidx1 && first && idx1.end == 0) {
                idx1 = Span{data, stop};
            } else if (id == kRIFF && depth < 2 && stop - data >= 4 && bytes_get32(h + 8) == kAVIX) {
                // A part inside an unclosed RIFF: only a dying writer leaves that.
                parse_riff_body(data + 4, stop, false, depth + 1);
            }
            if (stop >= end) break;
            at = stop + (stored & 1);
        }
        return true;
    }

    // An index entry whose frame runs past the end of the file can't be
    // right: the chunk header it points at tells the frame's size. Where
    // that header is no frame's, the frame is damaged: it keeps its place,
    // so that the frames after it keep theirs. Frames that run past the
    // end of the file as their chunks say are cut off (see drop_cut_off).
    void add_frame(ReadStream& s, std::uint64_t offset, std::uint32_t bytes, bool key) {
        if (s.frames.size() >= max_entries) return;
        FrameEntry e{offset, bytes, static_cast<std::uint8_t>(key ? 1 : 0)};
        if (offset > size || bytes > size - offset) {
            std::uint8_t h[8];
            if (offset >= 8 && offset <= size && window.read(offset - 8, h, 8) && is_frame_chunk(bytes_get32(h), s)) {
                e.size = bytes_get32(h + 4);
                e.past_end = e.size > size - offset;
            } else {
                e.past_end = offset > size;
                e.damaged = !e.past_end;
            }
            if (e.past_end || e.damaged) e.size = 0;
        }
        s.frames.push_back(e);
    }

    // Frames cut off by the end of the file are not there; one followed by
    // frames that are is damaged.
    static void drop_cut_off(ReadStream& s) {
        while (!s.frames.empty() && s.frames.back().past_end) s.frames.pop_back();
        for (FrameEntry& e : s.frames)
            if (e.past_end) {
                e.past_end = 0;
                e.damaged = 1;
            }
    }

    // Whether a chunk header that could be a writer's lies at `at`: four
    // printable letters and a size that fits before `end`.
    bool looks_like_chunk(std::uint64_t at, std::uint64_t end) {
        std::uint8_t h[8];
        if (at + 8 > end || !window.read(at, h, 8)) return false;
        for (int i = 0; i < 4; ++i)
            if (h[i] < 0x20 || h[i] > 0x7E) return false;
        return bytes_get32(h + 4) <= end - at - 8;
    }

    // Whether the chunk header at `at` has the id of a stream's chunk ("01wb"),
    // an index or a list: what a movi list holds.
    bool well_named(std::uint64_t at) {
        std::uint8_t h[4];
        if (!window.read(at, h, 4)) return false;
        const DWORD id = bytes_get32(h);
        const bool lower = h[2] >= 'a' && h[2] <= 'z' && h[3] >= 'a' && h[3] <= 'z';
        const bool ix = h[0] == 'i' && h[1] == 'x' && h[2] >= '0' && h[2] <= '9' && h[3] >= '0' && h[3] <= '9';
        return (chunk_stream(id) >= 0 && lower) || ix || id == kLIST || id == kJUNK || id == kidx1;
    }

    // Where the chunk after one of `stored` bytes at `data` starts: behind
    // its pad byte, as RIFF lays chunks out, unless a writer left the pad
    // out, which a chunk header right behind the data and none behind the
    // pad byte tells (or, where both could be one, a movi list's chunk id
    // behind the data only: the first data byte of a chunk can pass for
    // the last letter of an id).
    std::uint64_t next_chunk(std::uint64_t data, std::uint32_t stored, std::uint64_t end) {
        const std::uint64_t next = data + stored;
        if (!(stored & 1) || !looks_like_chunk(next, end)) return next + (stored & 1);
        if (!looks_like_chunk(next + 1, end)) return next;
        return well_named(next) && !well_named(next + 1) ? next : next + 1;
    }

    // Reads one ix## chunk of standard index entries.
    void read_std_index(ReadStream& s, const std::uint8_t* h, std::uint64_t entries_at, std::uint64_t entries_end) {
        if (bytes_get16(h) != 2 || h[3] != AVI_INDEX_OF_CHUNKS) return;
        std::uint64_t n = std::min<std::uint64_t>(bytes_get32(h + 4), (entries_end - entries_at) / 8);
        std::uint64_t base = bytes_get64(h + 12);
        std::vector<std::uint8_t> buffer(64 * 1024);
        std::uint64_t done = 0;
        while (done < n && s.frames.size() < max_entries) {
            std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, buffer.size() / 8));
            if (!read_at(fd, entries_at + done * 8, buffer.data(), k * 8)) return;
            for (std::size_t i = 0; i < k; ++i) {
                std::uint32_t off = bytes_get32(buffer.data() + 8 * i);
                std::uint32_t sz = bytes_get32(buffer.data() + 8 * i + 4);
                add_frame(s, base + off, sz & ~AVI_INDEX_DELTAFRAME, (sz & AVI_INDEX_DELTAFRAME) == 0);
            }
            done += k;
        }
    }

    bool index_from_indx(ReadStream& s, const std::vector<std::uint8_t>& indx) {
        const std::uint8_t* h = indx.data();
        if (bytes_get16(h) != 4 || h[3] != AVI_INDEX_OF_INDEXES) return false;
        std::size_t n = std::min<std::size_t>(bytes_get32(h + 4), (indx.size() - 24) / 16);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint64_t at = bytes_get64(h + 24 + 16 * i);
            std::uint8_t ix[32];
            if (at > size || size - at < sizeof ix || !read_at(fd, at, ix, sizeof ix)) continue;
            std::uint64_t end = chunk_end(at + 8, bytes_get32(ix + 4), size);
            read_std_index(s, ix + 8, at + 32, end);
        }
        return !s.frames.empty();
    }

    // idx1 offsets count from the 'movi' word, or from the start of the file
    // in some writers' files; the first entry of the stream tells which.
    // covered is set to where the chunks the index lists end (any stream's),
    // so that a cut-off index can be completed by scanning after it.
    bool index_from_idx1(ReadStream& s, std::uint64_t& covered) {
        covered = 0;
        if (idx1.end <= idx1.begin || !have_movi) return false;
        std::uint64_t n = (idx1.end - idx1.begin) / 16;
        std::vector<std::uint8_t> buffer(64 * 1024);
        std::uint64_t base = first_movi_list + 8;
        bool base_known = false;
        for (std::uint64_t done = 0; done < n && s.frames.size() < max_entries;) {
            std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, buffer.size() / 16));
            if (!read_at(fd, idx1.begin + done * 16, buffer.data(), k * 16)) return false;
            for (std::size_t i = 0; i < k; ++i) {
                const std::uint8_t* e = buffer.data() + 16 * i;
                DWORD id = bytes_get32(e);
                DWORD flags = bytes_get32(e + 4);
                std::uint32_t off = bytes_get32(e + 8);
                std::uint32_t sz = bytes_get32(e + 12);
                // (An entry that runs past the end of the file can't be right.)
                if (base_known && !(flags & AVIIF_LIST) && base + off + 8 + sz <= size)
                    covered = std::max<std::uint64_t>(covered, base + off + 8 + sz + (sz & 1));
                if (!is_frame_chunk(id, s) || (flags & AVIIF_LIST)) continue;
                if (!base_known) {
                    base_known = true;
                    std::uint8_t probe[4];
                    bool relative = read_at(fd, base + off, probe, 4) && bytes_get32(probe) == id;
                    if (!relative && read_at(fd, off, probe, 4) && bytes_get32(probe) == id) base = 0;
                }
                const std::size_t before = s.frames.size();
                add_frame(s, base + off + 8, sz, (flags & AVIIF_KEYFRAME) != 0);
                if (s.frames.size() > before && !s.frames.back().damaged && !s.frames.back().past_end) {
                    sz = s.frames.back().size;
                    covered = std::max<std::uint64_t>(covered, base + off + 8 + sz + (sz & 1));
                }
            }
            done += k;
        }
        return true;
    }

    // No index: walk the movi lists chunk by chunk, into 'rec ' lists.
    void scan_span(ReadStream& s, std::uint64_t at, std::uint64_t end, int depth) {
        std::uint8_t h[12];
        while (at + 8 <= end && s.frames.size() < max_entries) {
            if (!window.read(at, h, 12 <= end - at ? 12 : 8)) return;
            DWORD id = bytes_get32(h);
            std::uint32_t stored = bytes_get32(h + 4);
            std::uint64_t data = at + 8;
            if (id == kLIST) {
                std::uint64_t stop = chunk_end(data, stored, end);
                if (depth < 4 && stop - data >= 4) scan_span(s, data + 4, stop, depth + 1);
                at = stop < data + stored ? stop : next_chunk(data, stored, end);
                continue;
            }
            if (is_frame_chunk(id, s)) {
                bool key = s.frames.empty() || scan_all_key;
                add_frame(s, data, stored, key);
            }
            at = next_chunk(data, stored, end);
        }
    }
    bool scan_all_key = false;
};

// Audio: where each chunk ends in samples of the stream's sample size.
void count_samples(ReadStream& s) {
    const std::uint32_t unit = s.info.dwSampleSize;
    if (s.info.fccType != streamtypeAUDIO || unit == 0) return;
    s.sample_end.reserve(s.frames.size());
    std::uint64_t total = 0;
    for (const FrameEntry& e : s.frames) {
        total += (e.size + std::uint64_t{unit} - 1) / unit;
        s.sample_end.push_back(total);
    }
}

// The stream's length as its chunks give it, for a header that has none
// (a writer that died before it wrote one).
DWORD counted_length(const ReadStream& s) {
    std::uint64_t n = s.sample_end.empty() ? s.frames.size() : s.sample_end.back();
    return static_cast<DWORD>(std::min<std::uint64_t>(n, 0xFFFFFFFFu));
}

bool is_uncompressed(const ReadStream& s) {
    if (s.format.size() < sizeof(BITMAPINFOHEADER)) return false;
    DWORD c = bytes_get32(s.format.data() + 16);
    return c == BI_RGB || c == BI_BITFIELDS || c == fcc("DIB ") || c == fcc("RGB ") || c == fcc("raw ");
}

}  // namespace

HRESULT read_open(IAVIFile& file) {
    struct stat st;
    if (fstat(file.fd, &st) != 0) return AVIERR_FILEREAD;
    file.file_size = static_cast<std::uint64_t>(st.st_size);
    Parser p(file);
    std::uint8_t h[12];
    if (p.size < 12 || !read_at(p.fd, 0, h, 12) || bytes_get32(h) != kRIFF || bytes_get32(h + 8) != kAVI) return AVIERR_BADFORMAT;
    // Every frame chunk needs at least its 8-byte header; and no stream is
    // longer than 2^24 frames (three days at 60 per second).
    p.max_entries = static_cast<std::size_t>(std::min<std::uint64_t>(p.size / 8 + 1, 1u << 24));

    std::uint64_t at = 0;
    bool first = true;
    while (at + 12 <= p.size) {
        if (!read_at(p.fd, at, h, 12) || bytes_get32(h) != kRIFF) break;
        if (!first && bytes_get32(h + 8) != kAVIX) break;
        std::uint32_t stored = bytes_get32(h + 4);
        std::uint64_t end = stored == 0 ? p.size : Parser::chunk_end(at + 8, stored, p.size);
        if (!p.parse_riff_body(at + 12, end, first)) return AVIERR_FILEREAD;
        first = false;
        at = end + (stored & 1);
    }
    if (file.streams.empty()) return AVIERR_BADFORMAT;

    for (std::size_t i = 0; i < file.streams.size(); ++i) {
        ReadStream& s = *file.streams[i];
        if (!is_indexed(s)) continue;
        const bool audio = s.info.fccType == streamtypeAUDIO;
        p.scan_all_key = audio || is_uncompressed(s);
        bool opendml = !p.indx[i].bytes.empty() && p.index_from_indx(s, p.indx[i].bytes);
        if (opendml) {
            Parser::drop_cut_off(s);
            count_samples(s);
            // Audio keeps the length its header gives (in its own samples).
            if (!audio || s.info.dwLength == 0) s.info.dwLength = counted_length(s);
            continue;
        }
        s.frames.clear();
        std::uint64_t covered = 0;
        bool indexed = p.index_from_idx1(s, covered);
        if (indexed && s.frames.empty()) indexed = false;
        // An index cut short (a writer that died while writing it, a damaged
        // copy) leaves the rest of the first movi list to be scanned.
        if (indexed && covered >= p.movi[0].begin && covered + 8 <= p.movi[0].end)
            p.scan_span(s, covered, p.movi[0].end, 0);
        // idx1 covers the first RIFF only; later parts without an OpenDML
        // index are scanned.
        for (std::size_t m = indexed ? 1 : 0; m < p.movi.size(); ++m) p.scan_span(s, p.movi[m].begin, p.movi[m].end, 0);
        Parser::drop_cut_off(s);
        count_samples(s);
        if (s.info.dwLength == 0 || (!audio && p.movi.size() > 1)) s.info.dwLength = counted_length(s);
    }
    return AVIERR_OK;
}

// Positions count from the stream's dwStart, as AVIFile counts them: the
// first chunk's first sample is sample dwStart.
HRESULT read_audio(const IAVIFile& file, const ReadStream& s, LONG start, LONG samples, void* buffer, LONG size,
                   LONG* bytes, LONG* samples_read) {
    const std::uint64_t first = s.info.dwStart;
    const std::uint32_t unit = s.info.dwSampleSize;
    const std::uint64_t total = unit ? (s.sample_end.empty() ? 0 : s.sample_end.back()) : s.frames.size();
    if (start < 0 || static_cast<std::uint64_t>(start) < first || static_cast<std::uint64_t>(start) - first >= total)
        return AVIERR_NODATA;
    if (samples < 1 && samples != AVISTREAMREAD_CONVENIENT) return AVIERR_OK;
    const std::uint64_t at = static_cast<std::uint64_t>(start) - first;
    auto* out = static_cast<std::uint8_t*>(buffer);
    // What a buffer takes; a size query is answered up to what plBytes can say.
    const std::uint64_t room = buffer ? static_cast<std::uint64_t>(size < 0 ? 0 : size) : 0x7FFFFFFFu;

    if (unit == 0) {
        // No sample size (compressed audio of varying frames): a chunk is a sample.
        const FrameEntry& e = s.frames[static_cast<std::size_t>(at)];
        if (e.size > room) return AVIERR_BUFFERTOOSMALL;
        if (buffer && !read_at(file.fd, e.offset, out, e.size)) return AVIERR_FILEREAD;
        if (bytes) *bytes = static_cast<LONG>(e.size);
        if (samples_read) *samples_read = 1;
        return AVIERR_OK;
    }

    // The chunk that holds sample `at`, and how far to read: to the end of
    // that chunk (AVISTREAMREAD_CONVENIENT), else as many as asked and fit.
    std::size_t chunk = static_cast<std::size_t>(
        std::upper_bound(s.sample_end.begin(), s.sample_end.end(), at) - s.sample_end.begin());
    std::uint64_t wanted = samples == AVISTREAMREAD_CONVENIENT ? s.sample_end[chunk] - at
                                                                : std::min<std::uint64_t>(samples, total - at);
    std::uint64_t done_bytes = 0, done = 0, position = at;
    while (done < wanted) {
        while (chunk < s.frames.size() && s.sample_end[chunk] <= position) ++chunk;  // empty chunks hold none
        if (chunk == s.frames.size()) break;
        const FrameEntry& e = s.frames[chunk];
        const std::uint64_t chunk_first = chunk ? s.sample_end[chunk - 1] : 0;
        const std::uint64_t offset = (position - chunk_first) * unit;
        std::uint64_t n = std::min(wanted - done, s.sample_end[chunk] - position);
        // The last sample of a chunk whose size is no multiple of the sample size is short.
        std::uint64_t b = std::min<std::uint64_t>(n * unit, e.size - offset);
        if (b > room - done_bytes) {
            n = (room - done_bytes) / unit;
            b = n * unit;
        }
        if (n == 0) break;
        if (buffer && !read_at(file.fd, e.offset + offset, out + done_bytes, static_cast<std::size_t>(b)))
            return AVIERR_FILEREAD;
        done += n;
        done_bytes += b;
        position += n;
    }
    if (done == 0) return AVIERR_BUFFERTOOSMALL;
    if (bytes) *bytes = static_cast<LONG>(done_bytes);
    if (samples_read) *samples_read = static_cast<LONG>(done);
    return AVIERR_OK;
}

}  // namespace avi
