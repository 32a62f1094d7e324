#include "platform/icm/av_codecs.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "platform/icm/builtin.h"

const AvCodec* avdrv_codec_find(DWORD fcc) {
    for (const auto& c : avdrv_codecs)
        if (c.fcc == icm_fold_fourcc(fcc)) return &c;
    return nullptr;
}

AVCodecID avdrv_riff_decoder(DWORD fcc) {
    if (fcc == 0) return AV_CODEC_ID_NONE;
    const AVCodecTag* const tags[] = {avformat_get_riff_video_tags(), nullptr};
    const AVCodecID id = av_codec_get_id(tags, fcc);
    if (id == AV_CODEC_ID_NONE || !avcodec_find_decoder(id)) return AV_CODEC_ID_NONE;
    return id;
}
