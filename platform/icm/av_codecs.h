// The codecs our driver over libavcodec answers for by name: each FourCC, the
// libavcodec coders behind it, whether it compresses, and its motion search.
// libavcodec has no MS-MPEG-4 v1 encoder: MPG4 frames are coded by the v2
// encoder and rewritten into v1 syntax without loss (mpg4_rewrite.h).
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
    AVCodecID id;       // the decoder
    bool compresses;
    AvMotion motion;
    AVCodecID encoder;  // when it compresses
    bool rewrite_v1;    // the encoder's v2 frames are rewritten into v1 syntax
};

constexpr AvCodec avdrv_codecs[] = {
    {mmioFOURCC('M', 'P', '4', '2'), AV_CODEC_ID_MSMPEG4V2, true, AvMotion::normal, AV_CODEC_ID_MSMPEG4V2, false},
    {mmioFOURCC('M', 'P', '4', '3'), AV_CODEC_ID_MSMPEG4V3, true, AvMotion::normal, AV_CODEC_ID_MSMPEG4V3, false},
    {mmioFOURCC('D', 'I', 'V', '3'), AV_CODEC_ID_MSMPEG4V3, true, AvMotion::low, AV_CODEC_ID_MSMPEG4V3, false},
    {mmioFOURCC('D', 'I', 'V', '4'), AV_CODEC_ID_MSMPEG4V3, true, AvMotion::fast, AV_CODEC_ID_MSMPEG4V3, false},
    {mmioFOURCC('M', 'P', 'G', '4'), AV_CODEC_ID_MSMPEG4V1, true, AvMotion::normal, AV_CODEC_ID_MSMPEG4V2, true},
};

#pragma GCC visibility push(hidden)

// The entry for a FourCC (any case), or null.
const AvCodec* avdrv_codec_find(DWORD fcc);
// A decoder for a FourCC found in an AVI file, or AV_CODEC_ID_NONE.
AVCodecID avdrv_riff_decoder(DWORD fcc);

#pragma GCC visibility pop
