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

}  // namespace testsupport
