// Odd AVI files made from ones ffmpeg wrote, the way other writers (or
// damage) lay them out: a wrong index entry, odd chunks without their pad
// byte, MPEG-4 B-frames packed as DivX and Xvid store them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct AviChunk {
    std::string id;    // "00dc", "01wb", ...
    std::string data;
    bool key = false;  // the index's key-frame flag
};

// An AVI file of one RIFF as ffmpeg writes it: everything before its movi
// list, and the chunks of that list in order.
struct AviLayout {
    std::string head;
    std::vector<AviChunk> chunks;
};

// False when the file is not laid out that way.
bool avi_take_apart(const std::string& file, AviLayout& layout);

// The file again. pad false leaves out the byte behind a chunk of odd size;
// index false leaves out the idx1 (offsets from the 'movi' word).
std::string avi_put_together(const AviLayout& layout, bool pad = true, bool index = true);

// Sets the size that the idx1 entry of frame n of stream 0 gives; false when
// the file has no such entry.
bool avi_set_index_size(std::string& file, int frame, std::uint32_t size);

// Packs the MPEG-4 B-frames (VOPs) of stream 0 as DivX and Xvid do: each
// frame after a reference one moves a chunk earlier, the first of them
// behind the reference frame in its chunk, and a not-coded VOP (a few bytes)
// takes the place the last of them leaves. Each chunk then shows the frame
// of its own number. Answers the B-frames packed; 0 when the file has none
// or its pictures can't be parsed.
int avi_pack_b_frames(AviLayout& layout);

// The frames of an MPEG-1/2 layer III elementary stream, each as stored
// (header included), cut by their headers; empty when the bytes are not one.
std::vector<std::string> mp3_frames(const std::string& stream);

// The kinds above, made of a file ffmpeg wrote: frame 3's index size past
// the end of the file; no index and no pad bytes; packed B-frames.
enum class AviCraft { none, bad_index_size, unpadded_unindexed, packed_b_frames };
// Writes to the crafted copy of from; false when from is not a file of the
// kind the craft needs (no odd chunk, no B-frame).
bool avi_craft_copy(const std::string& from, AviCraft craft, const std::string& to);

// Inputs whose frames come out of a reader in the order they are shown only
// when it reads them right: B-frames (H.264, MPEG-4 unpacked and packed),
// a one-frame H.264 stream the codec holds back, an index entry that can't
// be right, odd chunks without pad bytes. Each is made of testsrc2 at
// input_width x input_height.
struct OrderedInput {
    const char* name;
    std::vector<std::string> codec;  // ffmpeg's output options
    int frames;
    AviCraft craft;
};
constexpr int input_width = 320, input_height = 240;
const std::vector<OrderedInput>& ordered_inputs();
// Writes the input to path, and to reference the same frames uncompressed.
bool make_ordered_input(const OrderedInput& input, const std::string& path, const std::string& reference);

}  // namespace testsupport
