#include "platform/icm/av_codecs.h"

#include "platform/icm/builtin.h"

const AvCodec* avdrv_codec_find(DWORD fcc) {
    for (const auto& c : avdrv_codecs)
        if (c.fcc == icm_fold_fourcc(fcc)) return &c;
    return nullptr;
}
