// Writes seeds for the MPG4 rewriter's fuzz target: short streams of version 2
// pictures from libavcodec's encoder at several sizes and quantisers, in the
// target's input layout (size bytes, then pictures separated by FF FF FF FF).
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    av_log_set_level(AV_LOG_ERROR);
    struct Size {
        int w, h;
    };
    int made = 0;
    for (const Size s : {Size{32, 32}, Size{48, 64}, Size{64, 560}}) {
        for (int qp : {2, 6, 20}) {
            const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MSMPEG4V2);
            AVCodecContext* c = avcodec_alloc_context3(codec);
            c->width = s.w;
            c->height = s.h;
            c->pix_fmt = AV_PIX_FMT_YUV420P;
            c->time_base = AVRational{1, 25};
            c->flags |= AV_CODEC_FLAG_QSCALE;
            c->gop_size = 1 << 30;
            c->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
            if (avcodec_open2(c, codec, nullptr) < 0) return 1;
            AVFrame* f = av_frame_alloc();
            f->format = AV_PIX_FMT_YUV420P;
            f->width = s.w;
            f->height = s.h;
            av_frame_get_buffer(f, 0);
            AVPacket* pkt = av_packet_alloc();
            // The target's size bytes for this size: width 16 + (b0 & 63), height 16 + (b1 % 64) * 16 + (b1 >> 6).
            std::vector<unsigned char> seed = {static_cast<unsigned char>(s.w - 16),
                                               static_cast<unsigned char>((s.h - 16) / 16 + ((s.h - 16) % 16 << 6)), 0xFF,
                                               0xFF};
            for (int n = 0; n < 3; ++n) {
                av_frame_make_writable(f);
                for (int p = 0; p < 3; ++p)
                    for (int y = 0; y < (p ? s.h / 2 : s.h); ++y)
                        for (int x = 0; x < (p ? s.w / 2 : s.w); ++x)
                            f->data[p][y * f->linesize[p] + x] =
                                static_cast<unsigned char>(p ? 128 + ((x + n) & 15) : ((x + 2 * n) * 7 + y * 3) ^ (y * n));
                f->pict_type = n == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
                f->quality = qp * FF_QP2LAMBDA;
                f->pts = n;
                if (avcodec_send_frame(c, f) < 0 || avcodec_receive_packet(c, pkt) < 0) return 1;
                if (n) seed.insert(seed.end(), {0xFF, 0xFF, 0xFF, 0xFF});
                seed.insert(seed.end(), pkt->data, pkt->data + pkt->size);
                av_packet_unref(pkt);
            }
            const std::string path = std::string(argv[1]) + "/mp42_" + std::to_string(s.w) + "x" + std::to_string(s.h) +
                                     "_q" + std::to_string(qp);
            FILE* out = std::fopen(path.c_str(), "wb");
            if (!out) return 1;
            std::fwrite(seed.data(), 1, seed.size(), out);
            std::fclose(out);
            ++made;
            av_packet_free(&pkt);
            av_frame_free(&f);
            avcodec_free_context(&c);
        }
    }
    std::printf("%d seeds\n", made);
    return 0;
}
