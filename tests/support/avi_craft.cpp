#include "avi_craft.h"

#include <cstdio>
#include <cstring>

#include "support.h"

namespace testsupport {

namespace {

std::uint32_t get32(const std::string& s, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}
void put32(std::string& s, std::size_t at, std::uint32_t v) { std::memcpy(&s[at], &v, 4); }
std::string u32(std::uint32_t v) {
    std::string s(4, '\0');
    put32(s, 0, v);
    return s;
}

bool is_video_frame(const std::string& id) { return id.size() == 4 && id.compare(0, 3, "00d") == 0; }

class Bits {
public:
    Bits(const std::string& s, std::size_t byte) : s_(s), bit_(byte * 8) {}
    std::uint32_t get(int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++bit_) {
            const std::size_t byte = bit_ / 8;
            const int b = byte < s_.size() ? (static_cast<std::uint8_t>(s_[byte]) >> (7 - bit_ % 8)) & 1 : 0;
            v = v << 1 | static_cast<std::uint32_t>(b);
        }
        return v;
    }

private:
    const std::string& s_;
    std::size_t bit_;
};

// Bytes of an MPEG-4 start code with the given last byte (range), or npos.
std::size_t find_start(const std::string& s, std::size_t from, int low, int high) {
    for (std::size_t i = from; i + 4 <= s.size(); ++i)
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            const int code = static_cast<std::uint8_t>(s[i + 3]);
            if (code >= low && code <= high) return i;
        }
    return std::string::npos;
}

// Bits of vop_time_increment, from the video object layer header; 0 when
// the header is not there or not one this parser reads.
int time_increment_bits(const std::string& data) {
    const std::size_t vol = find_start(data, 0, 0x20, 0x2F);
    if (vol == std::string::npos) return 0;
    Bits b(data, vol + 4);
    b.get(1);  // random_accessible_vol
    b.get(8);  // video_object_type_indication
    int verid = 1;
    if (b.get(1)) {
        verid = static_cast<int>(b.get(4));
        b.get(3);
    }
    if (b.get(4) == 15) b.get(16);  // extended pixel aspect ratio
    if (b.get(1)) {                 // vol_control_parameters
        b.get(3);
        if (b.get(1)) b.get(79);    // vbv parameters with their markers
    }
    const std::uint32_t shape = b.get(2);
    if (shape != 0 && !(shape == 3 && verid != 1)) return 0;  // rectangular pictures only
    if (shape == 3) b.get(4);
    if (!b.get(1)) return 0;  // marker
    const std::uint32_t resolution = b.get(16);
    if (resolution == 0) return 0;
    int bits = 1;
    while ((1u << bits) < resolution) ++bits;
    return bits;
}

// A P-VOP that is not coded: the picture before it, again.
std::string not_coded_vop(int time_bits) {
    std::string bits = "01" "0" "1" + std::string(static_cast<std::size_t>(time_bits), '0') + "1" "0";
    bits += '0';  // stuffing up to the byte: a 0, then 1s
    while (bits.size() % 8) bits += '1';
    std::string vop("\x00\x00\x01\xB6", 4);
    for (std::size_t i = 0; i < bits.size(); i += 8) {
        int byte = 0;
        for (std::size_t k = 0; k < 8; ++k) byte = byte << 1 | (bits[i + k] == '1');
        vop += static_cast<char>(byte);
    }
    return vop;
}

}  // namespace

bool avi_take_apart(const std::string& file, AviLayout& layout) {
    layout = AviLayout{};
    if (file.size() < 12 || file.compare(0, 4, "RIFF") != 0 || file.compare(8, 4, "AVI ") != 0) return false;
    std::size_t movi = std::string::npos, idx1 = std::string::npos;
    for (std::size_t at = 12; at + 8 <= file.size();) {
        const std::uint32_t size = get32(file, at + 4);
        if (file.compare(at, 4, "LIST") == 0 && at + 12 <= file.size() && file.compare(at + 8, 4, "movi") == 0)
            movi = at;
        if (file.compare(at, 4, "idx1") == 0) idx1 = at;
        at += 8 + static_cast<std::size_t>(size) + (size & 1);
    }
    if (movi == std::string::npos) return false;
    layout.head = file.substr(0, movi);
    const std::size_t movi_end = std::min<std::size_t>(movi + 8 + get32(file, movi + 4), file.size());
    std::vector<std::size_t> offsets;  // of each chunk's header, from the 'movi' word
    for (std::size_t at = movi + 12; at + 8 <= movi_end;) {
        const std::uint32_t size = get32(file, at + 4);
        if (at + 8 + size > movi_end) return false;
        layout.chunks.push_back({file.substr(at, 4), file.substr(at + 8, size), false});
        offsets.push_back(at - (movi + 8));
        at += 8 + static_cast<std::size_t>(size) + (size & 1);
    }
    if (idx1 != std::string::npos) {
        const std::size_t end = std::min<std::size_t>(idx1 + 8 + get32(file, idx1 + 4), file.size());
        for (std::size_t e = idx1 + 8; e + 16 <= end; e += 16)
            for (std::size_t c = 0; c < offsets.size(); ++c)
                if (offsets[c] == get32(file, e + 8)) layout.chunks[c].key = (get32(file, e + 4) & 0x10) != 0;
    }
    return true;
}

std::string avi_put_together(const AviLayout& layout, bool pad, bool index) {
    std::string file = layout.head;
    const std::size_t movi = file.size();
    file += "LIST" + u32(0) + "movi";
    std::string idx1;
    for (const AviChunk& c : layout.chunks) {
        idx1 += c.id + u32(c.key ? 0x10 : 0) + u32(static_cast<std::uint32_t>(file.size() - (movi + 8))) +
                u32(static_cast<std::uint32_t>(c.data.size()));
        file += c.id + u32(static_cast<std::uint32_t>(c.data.size())) + c.data;
        if (pad && (c.data.size() & 1)) file += '\0';
    }
    put32(file, movi + 4, static_cast<std::uint32_t>(file.size() - movi - 8));
    if (index) file += "idx1" + u32(static_cast<std::uint32_t>(idx1.size())) + idx1;
    put32(file, 4, static_cast<std::uint32_t>(file.size() - 8));
    return file;
}

bool avi_set_index_size(std::string& file, int frame, std::uint32_t size) {
    const std::size_t idx1 = file.rfind("idx1");
    if (idx1 == std::string::npos || idx1 + 8 > file.size()) return false;
    const std::size_t end = std::min<std::size_t>(idx1 + 8 + get32(file, idx1 + 4), file.size());
    int seen = 0;
    for (std::size_t e = idx1 + 8; e + 16 <= end; e += 16) {
        if (!is_video_frame(file.substr(e, 4))) continue;
        if (seen++ == frame) {
            put32(file, e + 12, size);
            return true;
        }
    }
    return false;
}

int avi_pack_b_frames(AviLayout& layout) {
    std::vector<AviChunk*> frames;
    for (AviChunk& c : layout.chunks)
        if (is_video_frame(c.id)) frames.push_back(&c);
    if (frames.empty()) return 0;
    const int time_bits = time_increment_bits(frames[0]->data);
    if (time_bits == 0) return 0;
    std::vector<int> types;  // vop_coding_type: 0 I, 1 P, 2 B, 3 S
    for (AviChunk* c : frames) {
        const std::size_t vop = find_start(c->data, 0, 0xB6, 0xB6);
        if (vop == std::string::npos || vop + 4 >= c->data.size()) return 0;
        if (find_start(c->data, vop + 4, 0xB6, 0xB6) != std::string::npos) return 0;  // packed already
        types.push_back(static_cast<std::uint8_t>(c->data[vop + 4]) >> 6);
    }
    int packed = 0;
    for (std::size_t i = 0; i < frames.size();) {
        std::size_t j = i + 1;
        while (j < frames.size() && types[j] == 2) ++j;
        if (types[i] != 2 && j > i + 1) {
            // i is a reference frame, i + 1 .. j - 1 the B-frames shown before it.
            frames[i]->data += frames[i + 1]->data;
            for (std::size_t m = i + 1; m + 1 < j; ++m) frames[m]->data = frames[m + 1]->data;
            frames[j - 1]->data = not_coded_vop(time_bits);
            packed += static_cast<int>(j - i - 1);
        }
        i = j;
    }
    return packed;
}

std::vector<std::string> mp3_frames(const std::string& stream) {
    static const int kbps[2][16] = {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
                                    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}};
    static const int rates[4] = {44100, 48000, 32000, 0};
    std::vector<std::string> frames;
    for (std::size_t at = 0; at + 4 <= stream.size();) {
        const auto b = [&](std::size_t i) { return static_cast<std::uint8_t>(stream[at + i]); };
        if (b(0) != 0xFF || (b(1) & 0xE0) != 0xE0 || ((b(1) >> 1) & 3) != 1) return {};  // layer III only
        const int version = (b(1) >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
        const bool mpeg1 = version == 3;
        const int bitrate = kbps[mpeg1 ? 0 : 1][b(2) >> 4] * 1000;
        int rate = rates[(b(2) >> 2) & 3];
        if (bitrate == 0 || rate == 0 || version == 1) return {};
        if (!mpeg1) rate /= version == 2 ? 2 : 4;
        const std::size_t size = static_cast<std::size_t>((mpeg1 ? 144 : 72) * bitrate / rate + ((b(2) >> 1) & 1));
        if (at + size > stream.size()) return {};
        frames.push_back(stream.substr(at, size));
        at += size;
    }
    return frames;
}

bool avi_craft_copy(const std::string& from, AviCraft craft, const std::string& to) {
    std::string bytes = read_file(from);
    AviLayout layout;
    if (!avi_take_apart(bytes, layout)) return false;
    switch (craft) {
        case AviCraft::none: break;
        case AviCraft::bad_index_size:
            if (!avi_set_index_size(bytes, 3, 0xFFFFFFF0u)) return false;
            break;
        case AviCraft::unpadded_unindexed: {
            int odd = 0;
            for (std::size_t i = 0; i + 1 < layout.chunks.size(); ++i) odd += layout.chunks[i].data.size() & 1;
            if (odd == 0) return false;  // no pad byte to leave out
            bytes = avi_put_together(layout, false, false);
            break;
        }
        case AviCraft::packed_b_frames:
            if (avi_pack_b_frames(layout) == 0) return false;
            bytes = avi_put_together(layout);
            break;
    }
    FILE* f = std::fopen(to.c_str(), "wb");
    if (!f) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && written;
}

const std::vector<OrderedInput>& ordered_inputs() {
    static const std::vector<OrderedInput> inputs = {
        {"h264_b_frames", {"-c:v", "libx264", "-bf", "3"}, 30, AviCraft::none},
        {"h264_one_frame", {"-c:v", "libx264", "-bf", "3"}, 1, AviCraft::none},
        {"xvid_b_frames", {"-c:v", "mpeg4", "-vtag", "XVID", "-bf", "2", "-g", "12", "-q:v", "3"}, 30, AviCraft::none},
        {"xvid_packed_b_frames", {"-c:v", "mpeg4", "-vtag", "XVID", "-bf", "2", "-g", "12", "-q:v", "3"}, 30,
         AviCraft::packed_b_frames},
        {"xvid_bad_index_size", {"-c:v", "mpeg4", "-vtag", "XVID", "-q:v", "3"}, 10, AviCraft::bad_index_size},
        {"mjpeg_unpadded_unindexed", {"-c:v", "mjpeg", "-q:v", "3"}, 10, AviCraft::unpadded_unindexed},
    };
    return inputs;
}

bool make_ordered_input(const OrderedInput& input, const std::string& path, const std::string& reference) {
    const std::string source =
        "testsrc2=size=" + std::to_string(input_width) + "x" + std::to_string(input_height) + ":rate=25";
    const std::string made = input.craft == AviCraft::none ? path : path + ".made.avi";
    return make_clip(reference, source, input.frames, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}) &&
           make_clip(made, source, input.frames, input.codec) &&
           (input.craft == AviCraft::none || avi_craft_copy(made, input.craft, path));
}

}  // namespace testsupport
