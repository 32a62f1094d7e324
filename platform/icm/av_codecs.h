// The codecs our driver over libavcodec answers for by name: each FourCC, the
// libavcodec coder behind it, whether it compresses, and its motion search.
// The install list (drivers.cpp) is read from here. Any other FourCC that the
// AVI tag table of libavformat maps to a decoder decompresses through the
// same driver (avdrv_riff_decoder).
#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "platform/icm/icm.h"

enum class AvMotion { normal, low, fast };

struct AvCodec {
    DWORD fcc;
    AVCodecID id;
    bool compresses;
    AvMotion motion;
};

constexpr AvCodec avdrv_codecs[] = {
    {mmioFOURCC('M', 'P', '4', '2'), AV_CODEC_ID_MSMPEG4V2, true, AvMotion::normal},
    {mmioFOURCC('M', 'P', '4', '3'), AV_CODEC_ID_MSMPEG4V3, true, AvMotion::normal},
    {mmioFOURCC('D', 'I', 'V', '3'), AV_CODEC_ID_MSMPEG4V3, true, AvMotion::low},
    {mmioFOURCC('D', 'I', 'V', '4'), AV_CODEC_ID_MSMPEG4V3, true, AvMotion::fast},
    // Decompress only until an encoder exists: compress opens are refused.
    {mmioFOURCC('M', 'P', 'G', '4'), AV_CODEC_ID_MSMPEG4V1, false, AvMotion::normal},
};

#pragma GCC visibility push(hidden)

// The entry for a FourCC (any case), or null.
const AvCodec* avdrv_codec_find(DWORD fcc);
// A decoder for a FourCC found in an AVI file, or AV_CODEC_ID_NONE.
AVCodecID avdrv_riff_decoder(DWORD fcc);

#pragma GCC visibility pop
