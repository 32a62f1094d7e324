// Decoding in display order, which our codec drivers offer a caller that
// hands them a stream's stored frames in file order (as an AVI file holds
// them) and takes the pictures in the order they are shown. Codecs with
// B-frames store frames in another order than they show them and hold
// pictures back; ICDecompress, one frame in and one picture out, can say
// neither. Shared by the AVI frame reader and the drivers; no other header
// needed.
//
// The caller sends ICM_SET with dw1 = icm_set_display_order (dw2 unused)
// before ICM_DECOMPRESS_BEGIN; a codec that does not know the setting
// answers ICERR_UNSUPPORTED, as ICM_SET asks of it, and is driven frame by
// frame with ICDecompress. From then on, after each begin, it sends
// icm_decompress_ordered with dw1 = an IcmOrderedDecode:
//   feed  - one stored frame (input's biSizeImage gives its bytes) and its
//           number in the stream; ICERR_OK, or below 0 when the codec
//           refuses it (it then shows no picture for it).
//   drain - no stored frame follows: the codec gives up what it holds back.
//   take  - the first picture held, into output/bits as ICDecompress writes
//           a picture (bits null: it is dropped); ICERR_DONTDRAW when none
//           is held.
// Each answers in held the number in display order of the first picture
// held, -1 for none, and in delay how many pictures the codec holds back.
// Pictures come out in display order and their numbers only grow; a number
// skipped is a frame shown without a picture of its own (a dropped or
// not-coded frame, or one the codec refused).
#pragma once

#include <cstdint>

#include "codec/platform.h"

constexpr std::uint32_t icm_set_display_order = 0x6F446E56;  // mmioFOURCC('V', 'n', 'D', 'o')
constexpr UINT icm_decompress_ordered = 0x4800;              // ICM_USER + 0x800, a message of ours

enum class IcmOrderedStep : DWORD { feed = 1, drain = 2, take = 3 };

struct IcmOrderedDecode {
    IcmOrderedStep step;
    // feed
    const BITMAPINFOHEADER* input;
    const void* data;
    DWORD flags;  // ICDECOMPRESS_NOTKEYFRAME for a delta frame
    LONG frame;   // its number among the stream's stored frames
    // take
    const BITMAPINFOHEADER* output;
    void* bits;
    // answered by every step
    LONG held;
    LONG delay;
};
