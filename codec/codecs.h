// The codecs our driver over libavcodec answers for by name: each FourCC, the
// libavcodec coders behind it, whether it compresses, and its motion search.
// libavcodec has no MS-MPEG-4 v1 encoder: MPG4 frames are coded by the v2
// encoder and rewritten into v1 syntax without loss (mpg4_rewrite.h).
// The install lists (platform/icm/drivers.cpp, win32/vntcodec.cpp) are read
// from here through codec_fourccs (codec.h). On Linux any other FourCC that
// the AVI tag table of libavformat maps to a decoder decompresses through the
// same driver (codec_riff_decoder).
#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "codec/platform.h"

enum class CodecMotion { normal, low, fast };

struct CodecRow {
    DWORD fcc;
    AVCodecID id;       // the decoder
    bool compresses;
    CodecMotion motion;
    AVCodecID encoder;  // when it compresses
    bool rewrite_v1;    // the encoder's v2 frames are rewritten into v1 syntax
};

constexpr CodecRow codec_table[] = {
    {mmioFOURCC('M', 'P', '4', '2'), AV_CODEC_ID_MSMPEG4V2, true, CodecMotion::normal, AV_CODEC_ID_MSMPEG4V2, false},
    {mmioFOURCC('M', 'P', '4', '3'), AV_CODEC_ID_MSMPEG4V3, true, CodecMotion::normal, AV_CODEC_ID_MSMPEG4V3, false},
    {mmioFOURCC('D', 'I', 'V', '3'), AV_CODEC_ID_MSMPEG4V3, true, CodecMotion::low, AV_CODEC_ID_MSMPEG4V3, false},
    {mmioFOURCC('D', 'I', 'V', '4'), AV_CODEC_ID_MSMPEG4V3, true, CodecMotion::fast, AV_CODEC_ID_MSMPEG4V3, false},
    {mmioFOURCC('M', 'P', 'G', '4'), AV_CODEC_ID_MSMPEG4V1, true, CodecMotion::normal, AV_CODEC_ID_MSMPEG4V2, true},
};

// The frame rate a driver assumes until ICM_COMPRESS_FRAMES_INFO gives one.
constexpr DWORD codec_default_rate = 30000, codec_default_scale = 1001;

#pragma GCC visibility push(hidden)

// The entry for a FourCC (any case), or null.
const CodecRow* codec_find(DWORD fcc);
// A decoder for a FourCC found in an AVI file, or AV_CODEC_ID_NONE.
AVCodecID codec_riff_decoder(DWORD fcc);

#pragma GCC visibility pop
