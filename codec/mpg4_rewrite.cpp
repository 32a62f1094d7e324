#include "codec/mpg4_rewrite.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <new>

#include "codec/dc_predict.h"
#include "codec/mpg4_tables.h"
#include "common/dib.h"

namespace {

// ---- bits -------------------------------------------------------------------

// MSB-first reader; reads past the end give zeros and are noticed by overrun().
struct BitReader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;  // in bits

    // The next n bits (n <= 25) without consuming them.
    std::uint32_t peek(int n) const {
        const std::size_t byte = pos >> 3;
        std::uint32_t w = 0;
        if (byte + 4 <= size) {
            w = static_cast<std::uint32_t>(data[byte]) << 24 | static_cast<std::uint32_t>(data[byte + 1]) << 16 |
                static_cast<std::uint32_t>(data[byte + 2]) << 8 | data[byte + 3];
        } else {
            for (int i = 0; i < 4; ++i) w = (w << 8) | (byte + i < size ? data[byte + i] : 0u);
        }
        return (w << (pos & 7)) >> (32 - n);
    }
    std::uint32_t get(int n) {
        const std::uint32_t v = peek(n);
        pos += static_cast<std::size_t>(n);
        return v;
    }
    bool overrun() const { return pos > size * 8; }
    std::size_t left() const { return pos > size * 8 ? 0 : size * 8 - pos; }
};

struct BitWriter {
    std::uint8_t* data;
    std::size_t capacity;
    std::size_t bytes = 0;
    std::uint64_t acc = 0;
    int nacc = 0;
    bool overflow = false;

    // n <= 32. Whole bytes leave four at a time; acc holds fewer than 32 bits between calls.
    void put(std::uint32_t v, int n) {
        acc = (acc << n) | (v & ((1ull << n) - 1));
        nacc += n;
        if (nacc < 32) return;
        nacc -= 32;
        const auto w = static_cast<std::uint32_t>(acc >> nacc);
        if (bytes + 4 <= capacity) {
            data[bytes] = static_cast<std::uint8_t>(w >> 24);
            data[bytes + 1] = static_cast<std::uint8_t>(w >> 16);
            data[bytes + 2] = static_cast<std::uint8_t>(w >> 8);
            data[bytes + 3] = static_cast<std::uint8_t>(w);
            bytes += 4;
        } else {
            overflow = true;
        }
    }
    void put(const Mpg4Code& c) { put(c.code, c.len); }
    // Pads with zero bits to a whole byte and writes what is left.
    void flush() {
        if (nacc & 7) {
            acc <<= 8 - (nacc & 7);
            nacc += 8 - (nacc & 7);
        }
        while (nacc >= 8) {
            nacc -= 8;
            if (bytes < capacity)
                data[bytes++] = static_cast<std::uint8_t>(acc >> nacc);
            else
                overflow = true;
        }
    }
};

// ---- code readers -------------------------------------------------------------

// A lookup over the next `bits` bits: symbol and length, or -1.
struct VlcReader {
    int bits = 0;
    std::vector<std::int16_t> symbol;
    std::vector<std::uint8_t> length;

    void build(int nbits, const Mpg4Code* codes, int n) {
        bits = nbits;
        symbol.assign(std::size_t{1} << nbits, -1);
        length.assign(std::size_t{1} << nbits, 0);
        for (int s = 0; s < n; ++s) {
            const int shift = nbits - codes[s].len;
            const std::size_t first = static_cast<std::size_t>(codes[s].code) << shift;
            for (std::size_t k = 0; k < (std::size_t{1} << shift); ++k) {
                symbol[first + k] = static_cast<std::int16_t>(s);
                length[first + k] = codes[s].len;
            }
        }
    }
    int read(BitReader& br) const {
        const std::uint32_t v = br.peek(bits);
        const int s = symbol[v];
        if (s >= 0) br.pos += length[v];
        return s;
    }
};

constexpr int kMaxLevel = 27;  // largest level either coefficient table holds
constexpr int kEscape = 102;   // symbol of the escape code in both tables

struct RunLevel {
    const Mpg4RunLevelTable* table;
    VlcReader reader;
    std::uint8_t max_level[2][64];
    std::uint8_t max_run[2][kMaxLevel + 1];
    std::int16_t index[2][64][kMaxLevel + 1];  // entry coding (last, run, level), or -1

    void build(const Mpg4RunLevelTable& t) {
        table = &t;
        reader.build(12, t.codes, t.size + 1);
        std::fill(&max_level[0][0], &max_level[0][0] + 2 * 64, 0);
        std::fill(&max_run[0][0], &max_run[0][0] + 2 * (kMaxLevel + 1), 0);
        std::fill(&index[0][0][0], &index[0][0][0] + 2 * 64 * (kMaxLevel + 1), -1);
        for (int k = 0; k < t.size; ++k) {
            const int last = k >= t.last_start, run = t.run[k], level = t.level[k];
            index[last][run][level] = static_cast<std::int16_t>(k);
            max_level[last][run] = std::max<std::uint8_t>(max_level[last][run], static_cast<std::uint8_t>(level));
            max_run[last][level] = std::max<std::uint8_t>(max_run[last][level], static_cast<std::uint8_t>(run));
        }
    }
};

struct Tables {
    RunLevel intra, inter;
    VlcReader v2_intra_cbpc, v2_mb_type, cbpy, mv, dc_luma, dc_chroma;
    Tables() {
        intra.build(mpg4_intra_table);
        inter.build(mpg4_inter_table);
        v2_intra_cbpc.build(3, mpg4_v2_intra_cbpc, 4);
        v2_mb_type.build(7, mpg4_v2_mb_type, 8);
        cbpy.build(6, mpg4_cbpy, 16);
        mv.build(12, mpg4_mv, 33);
        dc_luma.build(8, mpg4_dc_size_luma, 10);
        dc_chroma.build(9, mpg4_dc_size_chroma, 10);
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

// ---- syntax elements ------------------------------------------------------------

// Intra DC difference, -256..255: a size prefix, the value's bits (one's
// complement when negative) and a marker bit above 8 bits. -1000 when invalid.
int read_dc(BitReader& br, bool chroma) {
    const Tables& t = tables();
    const int size = (chroma ? t.dc_chroma : t.dc_luma).read(br);
    if (size < 0) return -1000;
    if (size == 0) return 0;
    const int v = static_cast<int>(br.get(size));
    const int level = (v >> (size - 1)) ? v : -(v ^ ((1 << size) - 1));
    if (size > 8 && br.get(1) != 1) return -1000;
    if (level < -256 || level > 255) return -1000;
    return level;
}

bool write_dc(BitWriter& bw, int level, bool chroma) {
    if (level < -256 || level > 255) return false;
    int size = 0;
    for (int v = std::abs(level); v; v >>= 1) ++size;
    bw.put(chroma ? mpg4_dc_size_chroma[size] : mpg4_dc_size_luma[size]);
    if (size) {
        bw.put(level < 0 ? static_cast<std::uint32_t>(-level) ^ ((1u << size) - 1) : static_cast<std::uint32_t>(level), size);
        if (size > 8) bw.put(1, 1);
    }
    return true;
}

struct Coefficient {
    int last, run, level;
};

// One coefficient of a version 2 block: a table code with a sign bit, or the
// escape followed by 1 (level beyond the table's largest for the run), 01
// (run beyond the table's longest for the level) or 00 (fixed length).
bool read_coefficient_v2(BitReader& br, const RunLevel& rl, Coefficient& c) {
    const Mpg4RunLevelTable& t = *rl.table;
    int s = rl.reader.read(br);
    if (s < 0) return false;
    if (s != kEscape) {
        c = {s >= t.last_start, t.run[s], t.level[s]};
        if (br.get(1)) c.level = -c.level;
        return true;
    }
    if (br.peek(1)) {
        br.pos += 1;
        s = rl.reader.read(br);
        if (s < 0 || s == kEscape) return false;
        c = {s >= t.last_start, t.run[s], t.level[s] + rl.max_level[s >= t.last_start][t.run[s]]};
        if (br.get(1)) c.level = -c.level;
        return true;
    }
    if (br.peek(2) == 1) {
        br.pos += 2;
        s = rl.reader.read(br);
        if (s < 0 || s == kEscape) return false;
        // Version 2 adds no extra one to the run here, unlike later versions.
        c = {s >= t.last_start, t.run[s] + rl.max_run[s >= t.last_start][t.level[s]], t.level[s]};
        if (br.get(1)) c.level = -c.level;
        return true;
    }
    br.pos += 2;
    c.last = static_cast<int>(br.get(1));
    c.run = static_cast<int>(br.get(6));
    c.level = static_cast<std::int8_t>(br.get(8));
    return true;
}

// Version 1 knows the table codes and one escape: last, 6-bit run, 8-bit level.
bool write_coefficient_v1(BitWriter& bw, const RunLevel& rl, const Coefficient& c) {
    const int magnitude = std::abs(c.level);
    if (c.run < 0 || c.run > 63) return false;
    if (magnitude >= 1 && magnitude <= kMaxLevel) {
        const int k = rl.index[c.last][c.run][magnitude];
        if (k >= 0) {
            bw.put(rl.table->codes[k]);
            bw.put(c.level < 0, 1);
            return true;
        }
    }
    if (c.level < -128 || c.level > 127) return false;
    bw.put(rl.table->codes[kEscape]);
    bw.put(static_cast<std::uint32_t>(c.last), 1);
    bw.put(static_cast<std::uint32_t>(c.run), 6);
    bw.put(static_cast<std::uint32_t>(c.level) & 0xFF, 8);
    return true;
}

// Copies the coefficients of one coded block. Intra blocks start after their
// DC coefficient. Positions must stay inside the block and end with a last one.
bool rewrite_block(BitReader& br, BitWriter& bw, const RunLevel& rl, bool intra) {
    int pos = intra ? 0 : -1;
    for (;;) {
        Coefficient c{};
        if (!read_coefficient_v2(br, rl, c)) return false;
        pos += c.run + 1;
        if (pos > 63) return false;
        if (!write_coefficient_v1(bw, rl, c)) return false;
        if (c.last) return true;
        if (pos > 62 || br.overrun()) return false;
    }
}

int median(int a, int b, int c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

// Motion vector difference: magnitude code and sign; the sum wraps into -63..63.
bool read_mv_delta(BitReader& br, int& delta) {
    const int code = tables().mv.read(br);
    if (code < 0) return false;
    delta = code == 0 ? 0 : (br.get(1) ? -code : code);
    return true;
}

int add_mv(int pred, int delta) {
    int v = pred + delta;
    if (v <= -64)
        v += 64;
    else if (v >= 64)
        v -= 64;
    return v;
}

bool write_mv(BitWriter& bw, int pred, int value) {
    for (int d : {value - pred, value - pred + 64, value - pred - 64}) {
        if (d < -32 || d > 32 || add_mv(pred, d) != value) continue;
        bw.put(mpg4_mv[std::abs(d)]);
        if (d) bw.put(d < 0, 1);
        return true;
    }
    return false;
}

// ---- picture --------------------------------------------------------------------

struct Picture {
    Mpg4Rewriter& r;
    int luma_width() const { return 2 * r.mb_width; }
    std::int16_t* luma(int x, int y) { return &r.dc[static_cast<std::size_t>(y) * luma_width() + x]; }
    std::int16_t* chroma(int plane, int x, int y) {
        const std::size_t luma_size = static_cast<std::size_t>(4) * r.mb_width * r.mb_height;
        return &r.dc[luma_size + static_cast<std::size_t>(plane) * r.mb_width * r.mb_height +
                     static_cast<std::size_t>(y) * r.mb_width + x];
    }
    // DC of a block in the prediction grid; outside the picture 128 (mid grey).
    int dc_at(int block, int x, int y) {
        if (x < 0 || y < 0) return 128;
        return block < 4 ? *luma(x, y) : *chroma(block - 4, x, y);
    }
    void clear_dc(int mb_x, int mb_y) {
        for (int k = 0; k < 4; ++k) *luma(2 * mb_x + (k & 1), 2 * mb_y + (k >> 1)) = 128;
        *chroma(0, mb_x, mb_y) = 128;
        *chroma(1, mb_x, mb_y) = 128;
    }
    // Version 2 DC prediction: from the left or the upper neighbour, whichever
    // side the gradient through the upper-left one is flatter across.
    int predict_dc_v2(int block, int mb_x, int mb_y, bool first_row) {
        int x = mb_x, y = mb_y;
        if (block < 4) {
            x = 2 * mb_x + (block & 1);
            y = 2 * mb_y + (block >> 1);
        }
        const int a = dc_at(block, x - 1, y);
        int b = dc_at(block, x - 1, y - 1);
        int c = dc_at(block, x, y - 1);
        if (first_row && !(block & 2)) b = c = 128;
        return dc_predict_v2(a, b, c);
    }
    void set_dc(int block, int mb_x, int mb_y, int value) {
        if (block < 4)
            *luma(2 * mb_x + (block & 1), 2 * mb_y + (block >> 1)) = static_cast<std::int16_t>(value);
        else
            *chroma(block - 4, mb_x, mb_y) = static_cast<std::int16_t>(value);
    }
    Mpg4MotionVector& mv(int x, int y) { return r.motion[static_cast<std::size_t>(y) * r.mb_width + x]; }
    // H.263 prediction of a macroblock's vector; the first row of a slice
    // sees only its left neighbour.
    void predict_mv(int mb_x, int mb_y, bool first_row, int& px, int& py) {
        if (first_row) {
            if (mb_x == 0) {
                px = py = 0;
            } else {
                px = mv(mb_x - 1, mb_y).x;
                py = mv(mb_x - 1, mb_y).y;
            }
            return;
        }
        const Mpg4MotionVector a = mb_x > 0 ? mv(mb_x - 1, mb_y) : Mpg4MotionVector{0, 0};
        const Mpg4MotionVector b = mv(mb_x, mb_y - 1);
        const Mpg4MotionVector c = mb_x + 1 < r.mb_width ? mv(mb_x + 1, mb_y - 1) : Mpg4MotionVector{0, 0};
        px = median(a.x, b.x, c.x);
        py = median(a.y, b.y, c.y);
    }
};

}  // namespace

int mpg4_rewriter_open(Mpg4Rewriter& r, int width, int height, int fps, int kbps) {
    mpg4_rewriter_close(r);
    if (width <= 0 || height <= 0 || width > codec_max_side || height > codec_max_side) return 0;
    (void)tables();
    r.mb_width = (width + 15) / 16;
    r.mb_height = (height + 15) / 16;
    r.v2_slice_rows = r.mb_height;
    r.v1_slice_rows = std::min(r.mb_height, 31);
    r.fps_field = std::clamp(fps, 0, 31);
    r.rate_field = std::clamp(kbps, 0, 2047);
    const std::size_t mbs = static_cast<std::size_t>(r.mb_width) * r.mb_height;
    try {
        r.dc.assign(mbs * 6, 128);
        r.motion.assign(mbs, Mpg4MotionVector{0, 0});
    } catch (const std::bad_alloc&) {
        mpg4_rewriter_close(r);
        return 0;
    }
    return 1;
}

void mpg4_rewriter_close(Mpg4Rewriter& r) { r = Mpg4Rewriter{}; }

Mpg4RewriteResult mpg4_rewrite_frame(Mpg4Rewriter& r, const std::uint8_t* in, std::size_t in_size,
                                     std::uint8_t* out, std::size_t capacity, std::size_t* size, bool* key) {
    if (!r.mb_width || !in || !out) return mpg4_rewrite_bad_input;
    const Tables& t = tables();
    BitReader br{in, in_size};
    BitWriter bw{out, capacity};
    Picture pic{r};

    // Picture header: type (0 key, 1 delta), quantiser, then the slice code
    // (key) or whether skipped macroblocks are signalled (delta).
    const std::uint32_t type = br.get(2);
    const std::uint32_t qscale = br.get(5);
    if (type > 1 || qscale == 0) return mpg4_rewrite_bad_input;
    const bool intra_picture = type == 0;
    bool use_skip = true;
    if (intra_picture) {
        const int code = static_cast<int>(br.get(5));
        if (code < 0x17) return mpg4_rewrite_bad_input;
        const int rows = r.mb_height / (code - 0x16);
        if (rows <= 0) return mpg4_rewrite_bad_input;
        r.v2_slice_rows = rows;
    } else {
        use_skip = br.get(1) != 0;
    }
    bw.put(0x00000100, 32);
    bw.put(r.frame_number & 31, 5);
    bw.put(type, 2);
    bw.put(qscale, 5);
    if (intra_picture) bw.put(static_cast<std::uint32_t>(r.v1_slice_rows), 5);

    for (int mb_y = 0; mb_y < r.mb_height; ++mb_y) {
        const bool first_row_v2 = mb_y % r.v2_slice_rows == 0;
        const bool first_row_v1 = mb_y % r.v1_slice_rows == 0;
        int last_dc[3] = {128, 128, 128};  // version 1 predicts DC along the row
        for (int mb_x = 0; mb_x < r.mb_width; ++mb_x) {
            if (br.overrun()) return mpg4_rewrite_bad_input;
            bool intra = true;
            int cbp = 0;
            Mpg4MotionVector& vec = pic.mv(mb_x, mb_y);
            if (!intra_picture) {
                if (use_skip && br.get(1)) {
                    bw.put(1, 1);
                    vec = {0, 0};
                    pic.clear_dc(mb_x, mb_y);
                    continue;
                }
                bw.put(0, 1);
                const int code = t.v2_mb_type.read(br);
                if (code < 0) return mpg4_rewrite_bad_input;
                intra = code >> 2;
                cbp = code & 3;
            } else {
                cbp = t.v2_intra_cbpc.read(br);
                if (cbp < 0) return mpg4_rewrite_bad_input;
            }
            if (!intra) {
                const int cbpy = t.cbpy.read(br);
                if (cbpy < 0) return mpg4_rewrite_bad_input;
                cbp |= cbpy << 2;
                // Version 2 stores the luma bits inverted unless both chroma blocks are coded.
                if ((cbp & 3) != 3) cbp ^= 0x3C;
                int dx = 0, dy = 0;
                if (!read_mv_delta(br, dx) || !read_mv_delta(br, dy)) return mpg4_rewrite_bad_input;
                int px = 0, py = 0;
                pic.predict_mv(mb_x, mb_y, first_row_v2, px, py);
                const int mx = add_mv(px, dx), my = add_mv(py, dy);
                bw.put(mpg4_v1_inter_mcbpc[cbp & 3]);
                bw.put(mpg4_cbpy[(cbp >> 2) ^ 0xF]);
                pic.predict_mv(mb_x, mb_y, first_row_v1, px, py);
                if (!write_mv(bw, px, mx) || !write_mv(bw, py, my)) return mpg4_rewrite_bad_input;
                vec = {static_cast<std::int8_t>(mx), static_cast<std::int8_t>(my)};
                pic.clear_dc(mb_x, mb_y);
            } else {
                if (br.get(1)) return mpg4_rewrite_bad_input;  // AC prediction: version 1 has none
                const int cbpy = t.cbpy.read(br);
                if (cbpy < 0) return mpg4_rewrite_bad_input;
                cbp |= cbpy << 2;
                if (intra_picture) {
                    bw.put(mpg4_v1_intra_mcbpc[cbp & 3]);
                    bw.put(mpg4_cbpy[cbp >> 2]);
                } else {
                    bw.put(mpg4_v1_inter_mcbpc[4 | (cbp & 3)]);
                    bw.put(mpg4_cbpy[(cbp >> 2) ^ 0xF]);
                }
                vec = {0, 0};
            }
            for (int block = 0; block < 6; ++block) {
                const bool coded = (cbp >> (5 - block)) & 1;
                if (intra) {
                    const bool chroma = block >= 4;
                    const int diff = read_dc(br, chroma);
                    if (diff == -1000) return mpg4_rewrite_bad_input;
                    const int dc = pic.predict_dc_v2(block, mb_x, mb_y, first_row_v2) + diff;
                    pic.set_dc(block, mb_x, mb_y, dc);
                    int& last = last_dc[chroma ? block - 3 : 0];
                    if (!write_dc(bw, dc - last, chroma)) return mpg4_rewrite_bad_input;
                    last = dc;
                }
                if (coded) {
                    const RunLevel& rl = intra && block < 4 ? t.intra : t.inter;
                    if (!rewrite_block(br, bw, rl, intra)) return mpg4_rewrite_bad_input;
                }
            }
        }
    }
    if (intra_picture) {
        // Extension header: frame rate and bit rate in 1024 bit/s (version 1 expects it).
        if (br.left() >= 16) {
            r.fps_field = static_cast<int>(br.get(5));
            r.rate_field = static_cast<int>(br.get(11));
        }
        bw.put(static_cast<std::uint32_t>(r.fps_field), 5);
        bw.put(static_cast<std::uint32_t>(r.rate_field), 11);
    }
    if (br.overrun()) return mpg4_rewrite_bad_input;
    bw.flush();
    if (bw.overflow) return mpg4_rewrite_too_big;
    ++r.frame_number;
    if (size) *size = bw.bytes;
    if (key) *key = intra_picture;
    return mpg4_rewrite_ok;
}
