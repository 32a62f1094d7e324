// Frames of a video stream as 24-bit DIBs (rows padded to 4 bytes), decoded through the
// compression manager. Sequential access decodes one frame per call; a jump
// decodes from the nearest key frame at or before the wanted one. A codec
// that offers it is driven in display order (codec/display_order.h), so
// that frame n is the picture shown n-th whatever order the codec stores
// its frames in (B-frames); any other frame by frame.
#include <algorithm>

#include "codec/display_order.h"
#include "common/dib.h"
#include "platform/avifile/avi_internal.h"

namespace {

// Bytes of one decoded picture: the largest that a run encodes, no more.
constexpr std::uint64_t kMaxPicture = encode_max_picture_bytes;
constexpr std::uint64_t kMaxChunk = 256ull << 20;    // bytes of one stored frame
constexpr std::size_t kInputPadding = 64;            // zeroed bytes behind the data, as decoders like

}  // namespace

struct IGetFrame {
    IAVIStream* stream = nullptr;
    const avi::ReadStream* source = nullptr;
    HIC hic = nullptr;
    // The stored format, padded with zeros so that a header whose colour
    // table or extradata is shorter than it claims can't lead the codec
    // outside the block.
    std::vector<std::uint8_t> input_format;
    std::vector<std::uint8_t> data;     // one stored frame + padding
    std::vector<std::uint8_t> picture;  // BITMAPINFOHEADER + pixels, handed out
    BITMAPINFOHEADER output{};
    LONG decoded = -1;  // frame now in picture, -1 for none
    LONG damaged = -1;  // decoded is a frame that could not be decoded (picture: the one before)
    bool have_picture = false;
    bool fresh = false;  // the decoder has begun and decoded nothing since
    // Stored frames are already what we hand out (bottom-up 24-bit DIB
    // rows): they are read straight into the picture.
    bool stored_as_output = false;
    // Display order.
    bool ordered = false;
    LONG fed = 0;           // the stored frame the codec is handed next
    bool drained = false;   // every stored frame is with the codec
    LONG held = -1;         // number of the first picture the codec holds, -1 for none
    LONG refused = 0;       // frames it could not have, whose places in display order are still to come
    bool reorders = false;  // it has held pictures back: frames before a key frame may need the one before
};

namespace avi {
// Defined in avifile.cpp: stream references keep the file alive.
void stream_add_ref(IAVIStream* stream);
}  // namespace avi

namespace {

BITMAPINFOHEADER* input_header(IGetFrame& g) { return reinterpret_cast<BITMAPINFOHEADER*>(g.input_format.data()); }

bool begin(IGetFrame& g) {
    LRESULT r = ICSendMessage(g.hic, ICM_DECOMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(input_header(g)),
                              reinterpret_cast<DWORD_PTR>(&g.output));
    return r == ICERR_OK;
}

bool decode_one(IGetFrame& g, LONG n) {
    const avi::FrameEntry& e = g.source->frames[static_cast<std::size_t>(n)];
    std::uint8_t* pixels = g.picture.data() + sizeof(BITMAPINFOHEADER);
    if (e.damaged) return false;
    if (e.size == 0) {
        // A dropped frame shows the previous picture; before any, black.
        if (!g.have_picture) std::fill(pixels, g.picture.data() + g.picture.size(), 0);
        g.have_picture = true;
        return true;
    }
    const std::size_t image = g.output.biSizeImage;
    if (g.stored_as_output && e.size >= image) {
        if (!avi::read_at(g.stream->file->fd, e.offset, pixels, image)) return false;
        g.have_picture = true;
        return true;
    }
    if (e.size > g.data.size() - kInputPadding) return false;
    if (!avi::read_at(g.stream->file->fd, e.offset, g.data.data(), e.size)) return false;
    std::fill_n(g.data.data() + e.size, kInputPadding, 0);
    BITMAPINFOHEADER* in = input_header(g);
    in->biSizeImage = e.size;  // the codec learns the frame's length from here
    BITMAPINFOHEADER out = g.output;
    DWORD r = ICDecompress(g.hic, e.key ? 0 : ICDECOMPRESS_NOTKEYFRAME, in, g.data.data(), &out, pixels);
    if (static_cast<LONG>(r) < 0) return false;
    // ICERR_DONTDRAW: nothing new to show (a codec with delay, before its
    // first picture); the picture before, if any, stays.
    if (r == ICERR_OK) g.have_picture = true;
    return true;
}

// The nearest key frame at or before n that holds a picture, else 0.
LONG key_frame_before(const std::vector<avi::FrameEntry>& frames, LONG n) {
    while (n > 0 && !(frames[static_cast<std::size_t>(n)].key && frames[static_cast<std::size_t>(n)].size)) --n;
    return n;
}

LPVOID frame_by_frame(IGetFrame& g, LONG lPos) {
    if (lPos != g.decoded) {
        LONG start = lPos;
        if (lPos != g.decoded + 1 || g.decoded < 0) {
            // Back to the nearest key frame that holds a picture, unless the
            // frame already decoded lies between it and the wanted one.
            const LONG key = key_frame_before(g.source->frames, lPos);
            if (g.decoded >= key && g.decoded < lPos) {
                start = g.decoded + 1;
            } else {
                start = key;
                g.have_picture = false;
                if (!g.fresh) begin(g);  // restart the decoder: nothing before the key frame is referenced
            }
        }
        g.decoded = -1;
        g.fresh = false;
        for (LONG n = start; n < lPos; ++n)
            if (!decode_one(g, n)) return nullptr;
        // A frame that can't be shown (nothing decoded yet) is as damaged
        // as one that can't be decoded: never a made-up picture.
        if (!decode_one(g, lPos) || !g.have_picture) {
            // The decoder goes on from here, as players do: the next frame
            // is decoded on, without going back over the damaged one.
            g.decoded = lPos;
            g.damaged = lPos;
            return nullptr;
        }
        g.decoded = lPos;
        g.damaged = -1;
    } else if (g.damaged == lPos) {
        return nullptr;
    }
    return g.picture.data();
}

// --- Display order ---------------------------------------------------------

LRESULT ordered_step(IGetFrame& g, IcmOrderedDecode& o) {
    const LRESULT r = ICSendMessage(g.hic, icm_decompress_ordered, reinterpret_cast<DWORD_PTR>(&o), 0);
    g.held = o.held;
    if (o.delay > 0) g.reorders = true;
    return r;
}

// Hands the codec the next stored frame. One it can't have (damaged, too
// large, unreadable) or refuses is shown without a picture of its own; so
// is an empty one (a dropped frame), which it is not handed: the codec
// skips its number.
void feed_next(IGetFrame& g) {
    const LONG n = g.fed++;
    const avi::FrameEntry& e = g.source->frames[static_cast<std::size_t>(n)];
    if (e.size == 0 && !e.damaged) return;
    if (e.damaged || e.size > g.data.size() - kInputPadding ||
        !avi::read_at(g.stream->file->fd, e.offset, g.data.data(), e.size)) {
        ++g.refused;
        return;
    }
    std::fill_n(g.data.data() + e.size, kInputPadding, 0);
    BITMAPINFOHEADER* in = input_header(g);
    in->biSizeImage = e.size;
    IcmOrderedDecode o{};
    o.step = IcmOrderedStep::feed;
    o.input = in;
    o.data = g.data.data();
    o.flags = e.key ? 0 : ICDECOMPRESS_NOTKEYFRAME;
    o.frame = n;
    if (ordered_step(g, o) < 0) ++g.refused;
}

// Frame n has no picture of its own: a frame the codec could not have is
// damaged; any other (dropped, not coded) shows the picture before it, if
// there is one.
LPVOID shown_without_picture(IGetFrame& g, LONG n) {
    g.decoded = n;
    if (g.refused > 0 || !g.have_picture) {
        if (g.refused > 0) --g.refused;
        g.damaged = n;
        return nullptr;
    }
    g.damaged = -1;
    return g.picture.data();
}

LPVOID in_display_order(IGetFrame& g, LONG n) {
    if (n == g.decoded) return g.damaged == n ? nullptr : g.picture.data();
    const auto& frames = g.source->frames;
    const LONG key = key_frame_before(frames, n);
    if (!(g.decoded >= key && g.decoded < n)) {
        // Frames shown before a key frame may be stored after it and refer
        // to the frame before it: with a codec that reorders, one key frame
        // earlier.
        const LONG start = g.reorders && key > 0 ? key_frame_before(frames, key - 1) : key;
        if (!g.fresh) begin(g);
        g.fed = start;
        g.drained = false;
        g.held = -1;
        g.refused = 0;
        g.decoded = -1;
        g.damaged = -1;
        g.have_picture = false;
    }
    g.fresh = false;
    for (;;) {
        if (g.held < 0) {
            if (static_cast<std::size_t>(g.fed) < frames.size()) {
                feed_next(g);
            } else if (!g.drained) {
                g.drained = true;
                IcmOrderedDecode o{};
                o.step = IcmOrderedStep::drain;
                ordered_step(g, o);
            } else {
                return shown_without_picture(g, n);
            }
            continue;
        }
        if (g.held > n) return shown_without_picture(g, n);
        // Pictures before n are taken all the same: the last of them stands
        // in for n when n has none.
        const LONG number = g.held;
        IcmOrderedDecode o{};
        o.step = IcmOrderedStep::take;
        o.output = &g.output;
        o.bits = g.picture.data() + sizeof(BITMAPINFOHEADER);
        const bool taken = ordered_step(g, o) == ICERR_OK;
        g.have_picture = g.have_picture || taken;
        g.decoded = number;
        g.damaged = taken ? -1 : number;
        if (number == n) return taken ? g.picture.data() : nullptr;
    }
}

}  // namespace

PGETFRAME VFWAPI AVIStreamGetFrameOpen(PAVISTREAM pavi, LPBITMAPINFOHEADER lpbiWanted) {
    if (!pavi || !pavi->read) return nullptr;
    const avi::ReadStream& s = *pavi->read;
    if (s.info.fccType != streamtypeVIDEO || s.format.size() < sizeof(BITMAPINFOHEADER)) return nullptr;
    // Only the one format we deliver can be asked for.
    if (lpbiWanted && ((lpbiWanted->biBitCount != 0 && lpbiWanted->biBitCount != 24) ||
                       lpbiWanted->biCompression != BI_RGB))
        return nullptr;
    BITMAPINFOHEADER stored;
    std::memcpy(&stored, s.format.data(), sizeof stored);
    const std::int64_t width = stored.biWidth;
    const std::int64_t height = stored.biHeight < 0 ? -static_cast<std::int64_t>(stored.biHeight) : stored.biHeight;
    if (width <= 0 || height <= 0 || width > 32768 || height > 32768) return nullptr;
    const std::uint64_t image = dib_stride(width, 24) * static_cast<std::uint64_t>(height);
    if (image > kMaxPicture) return nullptr;
    // An uncompressed picture larger than the whole file can't be in it: a
    // damaged header, refused before its picture is allocated. (A compressed
    // frame of that size is another matter: a plain key frame codes small.)
    if (stored.biCompression == BI_RGB || stored.biCompression == BI_BITFIELDS) {
        const std::uint64_t bits = stored.biBitCount ? stored.biBitCount : 24;
        const std::uint64_t stored_image = dib_stride(width, static_cast<std::uint32_t>(bits)) * static_cast<std::uint64_t>(height);
        if (stored_image > pavi->file->file_size) return nullptr;
    }

    auto g = std::make_unique<IGetFrame>();
    g->stream = pavi;
    g->source = &s;
    g->input_format.assign(s.format.begin(), s.format.end());
    g->input_format.resize(s.format.size() + 256 * 4 + kInputPadding, 0);
    BITMAPINFOHEADER* in = input_header(*g);
    if (in->biSize < sizeof(BITMAPINFOHEADER) || in->biSize > s.format.size())
        in->biSize = static_cast<DWORD>(s.format.size());
    if (in->biBitCount <= 8 && in->biClrUsed > 256) in->biClrUsed = 0;

    g->output = BITMAPINFOHEADER{};
    g->output.biSize = sizeof(BITMAPINFOHEADER);
    g->output.biWidth = static_cast<LONG>(width);
    g->output.biHeight = static_cast<LONG>(height);
    g->output.biPlanes = 1;
    g->output.biBitCount = 24;
    g->output.biCompression = BI_RGB;
    g->output.biSizeImage = static_cast<DWORD>(image);

    std::uint32_t largest = 0;
    for (const avi::FrameEntry& e : s.frames)
        if (e.size <= kMaxChunk) largest = std::max(largest, e.size);
    // What writers store there for a compressed stream is anything (ffmpeg's
    // MJPEG of 16384 x 8192 says 4 GB); the codec sizes its input by it.
    in->biSizeImage = largest;

    // The format's compression names the codec (0: uncompressed); the stream
    // header's handler is the second choice. The codec judges the picture's
    // size before anything of that size is allocated.
    DWORD handler = stored.biCompression;
    g->hic = ICOpen(ICTYPE_VIDEO, handler, ICMODE_DECOMPRESS);
    if (!g->hic && s.info.fccHandler && s.info.fccHandler != handler)
        g->hic = ICOpen(ICTYPE_VIDEO, s.info.fccHandler, ICMODE_DECOMPRESS);
    if (!g->hic) return nullptr;
    g->ordered = ICSendMessage(g->hic, ICM_SET, icm_set_display_order, 0) == ICERR_OK;
    if (!begin(*g)) {
        ICClose(g->hic);
        return nullptr;
    }
    try {
        g->picture.assign(sizeof(BITMAPINFOHEADER) + image, 0);
        g->data.assign(static_cast<std::size_t>(largest) + kInputPadding, 0);
    } catch (const std::bad_alloc&) {
        ICSendMessage(g->hic, ICM_DECOMPRESS_END, 0, 0);
        ICClose(g->hic);
        return nullptr;
    }
    g->fresh = true;
    g->stored_as_output = stored.biCompression == BI_RGB && stored.biBitCount == 24 && stored.biHeight > 0;
    avi::stream_add_ref(pavi);
    return g.release();
}

LPVOID VFWAPI AVIStreamGetFrame(PGETFRAME pg, LONG lPos) {
    if (!pg) return nullptr;
    IGetFrame& g = *pg;
    if (lPos < 0 || static_cast<std::size_t>(lPos) >= g.source->frames.size()) return nullptr;
    void* picture = g.ordered ? in_display_order(g, lPos) : frame_by_frame(g, lPos);
    if (!picture) return nullptr;
    // The caller may have written over the header; it is ours to hand out again.
    std::memcpy(g.picture.data(), &g.output, sizeof g.output);
    return picture;
}

HRESULT VFWAPI AVIStreamGetFrameClose(PGETFRAME pg) {
    if (!pg) return AVIERR_BADHANDLE;
    if (pg->hic) {
        ICSendMessage(pg->hic, ICM_DECOMPRESS_END, 0, 0);
        ICClose(pg->hic);
    }
    IAVIStream* stream = pg->stream;
    delete pg;
    AVIStreamRelease(stream);
    return AVIERR_OK;
}
