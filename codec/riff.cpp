// Decoders for the FourCCs of AVI files beyond the driver's own table, from
// libavformat's tag table. Apart from codecs.cpp because vntcodec.dll,
// which answers only for its table's FourCCs, is built without libavformat.
#include "codec/codecs.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

AVCodecID codec_riff_decoder(DWORD fcc) {
    if (fcc == 0) return AV_CODEC_ID_NONE;
    const AVCodecTag* const tags[] = {avformat_get_riff_video_tags(), nullptr};
    const AVCodecID id = av_codec_get_id(tags, fcc);
    if (id == AV_CODEC_ID_NONE || !avcodec_find_decoder(id)) return AV_CODEC_ID_NONE;
    return id;
}
