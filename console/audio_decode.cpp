// One path for every input audio format: libavcodec decodes it (PCM of any
// sample size included, through its PCM decoders), libswresample makes the
// decoder's samples 16-bit and at most stereo.
#include "console/audio_decode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "common/grow.h"

struct AudioDecoder {
    AVCodecContext* ctx;
    // Splits chunks into the codec's frames: an AVI chunk of MP3 or AC-3
    // need not hold whole frames. Null where each chunk is whole (PCM, ...).
    AVCodecParserContext* parser;
    AVPacket* pkt;
    AVFrame* frame;
    // Packets are handed over in buffers of a pool, which the decoder keeps
    // by reference: none is allocated per chunk.
    AVBufferPool* packets;
    size_t packet_room;
    SwrContext* swr;  // set up for the frames' format, rate and layout below
    int swr_format;
    int swr_rate;
    AVChannelLayout swr_layout;
    uint32_t rate;
    uint16_t channels;
    AVChannelLayout out_layout;
    int16_t* out;  // interleaved
    uint32_t out_capacity;  // sample frames
    uint32_t out_count;
    // The chunk as the parser reads it: followed by the zero padding the
    // parsers read past their input's end.
    uint8_t* input;
    uint64_t input_capacity;
};

namespace {

constexpr uint16_t kTagPcm = 0x0001;
constexpr uint16_t kTagFloat = 0x0003;
constexpr uint16_t kTagExtensible = 0xFFFE;
// The GUID of a WAVEFORMATEXTENSIBLE subformat after its first four bytes,
// which hold the plain format tag (KSDATAFORMAT_SUBTYPE_PCM and its kin).
constexpr uint8_t kSubformatTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// The decoder of a tag as a WAVE file has it: PCM by its sample size, the
// rest by libavformat's table of WAVE format tags.
AVCodecID codec_of(uint16_t tag, uint16_t bits) {
    if (tag == kTagPcm) {
        switch (bits) {
        case 8: return AV_CODEC_ID_PCM_U8;
        case 16: return AV_CODEC_ID_PCM_S16LE;
        case 24: return AV_CODEC_ID_PCM_S24LE;
        case 32: return AV_CODEC_ID_PCM_S32LE;
        default: return AV_CODEC_ID_NONE;
        }
    }
    if (tag == kTagFloat) {
        if (bits == 32) return AV_CODEC_ID_PCM_F32LE;
        if (bits == 64) return AV_CODEC_ID_PCM_F64LE;
        return AV_CODEC_ID_NONE;
    }
    const AVCodecTag* const tags[] = {avformat_get_riff_audio_tags(), nullptr};
    return av_codec_get_id(tags, tag);
}

AudioDecoder* refuse(AudioDecoder* d, char* why, size_t why_size, const char* text, unsigned tag = 0) {
    if (why && why_size) std::snprintf(why, why_size, text, tag);
    audio_decoder_close(d);
    return nullptr;
}

bool reserve_out(AudioDecoder& d, uint32_t frames) {
    if (frames <= d.out_capacity) return true;
    uint32_t grown = d.out_capacity ? d.out_capacity : 4096;
    while (grown < frames) grown *= 2;
    auto* out = static_cast<int16_t*>(std::realloc(d.out, static_cast<size_t>(grown) * d.channels * sizeof(int16_t)));
    if (!out) return false;
    d.out = out;
    d.out_capacity = grown;
    return true;
}

// Readies the resampler for frames of this format, rate and layout (they may
// change inside a stream). 0 when memory ran out or it can't convert.
int ready_resampler(AudioDecoder& d, const AVFrame& f) {
    AVChannelLayout in{};
    if (f.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&in, f.ch_layout.nb_channels);  // the matrix needs to know the speakers
    else if (av_channel_layout_copy(&in, &f.ch_layout) < 0)
        return 0;
    if (d.swr && d.swr_format == f.format && d.swr_rate == f.sample_rate &&
        av_channel_layout_compare(&d.swr_layout, &in) == 0) {
        av_channel_layout_uninit(&in);
        return 1;
    }
    swr_free(&d.swr);
    av_channel_layout_uninit(&d.swr_layout);
    if (swr_alloc_set_opts2(&d.swr, &d.out_layout, AV_SAMPLE_FMT_S16, static_cast<int>(d.rate), &in,
                            static_cast<AVSampleFormat>(f.format), f.sample_rate, 0, nullptr) < 0 ||
        swr_init(d.swr) < 0) {
        swr_free(&d.swr);
        av_channel_layout_uninit(&in);
        return 0;
    }
    d.swr_format = f.format;
    d.swr_rate = f.sample_rate;
    d.swr_layout = in;
    return 1;
}

// Converts what the resampler is given (null: what it still holds) onto the
// end of out. 0 when memory ran out.
int convert(AudioDecoder& d, const uint8_t** data, int samples) {
    const int room = swr_get_out_samples(d.swr, samples);
    if (room < 0) return 1;
    if (!reserve_out(d, d.out_count + static_cast<uint32_t>(room))) return 0;
    uint8_t* to = reinterpret_cast<uint8_t*>(d.out + static_cast<size_t>(d.out_count) * d.channels);
    const int made = swr_convert(d.swr, &to, room, data, samples);
    if (made > 0) d.out_count += static_cast<uint32_t>(made);
    return 1;
}

// Takes every frame the decoder has ready. 0 when memory ran out.
int receive(AudioDecoder& d) {
    for (;;) {
        const int r = avcodec_receive_frame(d.ctx, d.frame);
        if (r == AVERROR(ENOMEM)) return 0;
        if (r < 0) return 1;  // wants more, at the end, or a frame it could not decode
        int ok = 1;
        if (d.frame->nb_samples > 0 && d.frame->sample_rate > 0 && d.frame->ch_layout.nb_channels > 0) {
            // A frame the resampler can't take is skipped as damage would be.
            if (ready_resampler(d, *d.frame))
                ok = convert(d, const_cast<const uint8_t**>(d.frame->extended_data), d.frame->nb_samples);
        }
        av_frame_unref(d.frame);
        if (!ok) return 0;
    }
}

bool reserve_packet(AudioDecoder& d, size_t n) {
    const size_t need = n + AV_INPUT_BUFFER_PADDING_SIZE;
    if (d.packets && need <= d.packet_room) return true;
    const size_t room = need > d.packet_room * 2 ? need : d.packet_room * 2;
    av_buffer_pool_uninit(&d.packets);  // buffers still in use go when released
    d.packet_room = 0;
    d.packets = av_buffer_pool_init(room, nullptr);
    if (!d.packets) return false;
    d.packet_room = room;
    return true;
}

// Hands one packet to the decoder (null: the end) and takes its frames.
// A packet it refuses is damage: no samples. 0 when memory ran out.
int decode(AudioDecoder& d, const uint8_t* data, int size) {
    if (data) {
        if (!reserve_packet(d, static_cast<size_t>(size))) return 0;
        AVBufferRef* buffer = av_buffer_pool_get(d.packets);
        if (!buffer) return 0;
        std::memcpy(buffer->data, data, static_cast<size_t>(size));
        std::memset(buffer->data + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        av_packet_unref(d.pkt);
        d.pkt->buf = buffer;
        d.pkt->data = buffer->data;
        d.pkt->size = size;
    }
    int r = avcodec_send_packet(d.ctx, data ? d.pkt : nullptr);
    if (r == AVERROR(EAGAIN)) {  // frames still waiting: take them and hand it over again
        if (!receive(d)) return 0;
        r = avcodec_send_packet(d.ctx, data ? d.pkt : nullptr);
    }
    av_packet_unref(d.pkt);
    if (r == AVERROR(ENOMEM)) return 0;
    return receive(d);
}

// Through the parser where there is one; a null chunk is the end.
int feed(AudioDecoder& d, const uint8_t* chunk, uint32_t bytes) {
    if (!d.parser) return chunk ? (bytes ? decode(d, chunk, static_cast<int>(bytes)) : 1) : decode(d, nullptr, 0);
    const bool end = chunk == nullptr;
    if (!end) {
        if (!grow_buffer(d.input, d.input_capacity, uint64_t{bytes} + AV_INPUT_BUFFER_PADDING_SIZE)) return 0;
        std::memcpy(d.input, chunk, bytes);
        std::memset(d.input + bytes, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        chunk = d.input;
    }
    for (;;) {
        uint8_t* frame = nullptr;
        int frame_bytes = 0;
        const int step = bytes > INT32_MAX / 2 ? INT32_MAX / 2 : static_cast<int>(bytes);
        const int used = av_parser_parse2(d.parser, d.ctx, &frame, &frame_bytes, chunk, step, AV_NOPTS_VALUE,
                                          AV_NOPTS_VALUE, 0);
        if (frame_bytes > 0 && !decode(d, frame, frame_bytes)) return 0;
        if (used > 0) {
            chunk += used;
            bytes -= static_cast<uint32_t>(used);
        }
        if (end) {
            if (frame_bytes == 0) return decode(d, nullptr, 0);
        } else if (bytes == 0 || (used <= 0 && frame_bytes == 0)) {
            return 1;
        }
    }
}

int answer(const AudioDecoder* d, int ok, const int16_t** samples, uint32_t* count) {
    const uint32_t n = d ? d->out_count : 0;
    if (samples) *samples = n ? d->out : nullptr;
    if (count) *count = n;
    return ok;
}

}  // namespace

AudioDecoder* audio_decoder_open(const void* format, uint32_t format_size, char* why, size_t why_size) {
    if (why && why_size) why[0] = '\0';
    // The media libraries print to stderr by default (damage they met, ...);
    // the program says what it has to say in its own lines.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
    // A format block of 16 bytes (PCMWAVEFORMAT, without cbSize) is common in AVI files.
    if (!format || format_size < 16) return refuse(nullptr, why, why_size, "audio format block too short");
    const auto* f = static_cast<const uint8_t*>(format);
    uint16_t tag = le16(f);
    const uint16_t channels = le16(f + 2);
    const uint32_t rate = le32(f + 4);
    const uint32_t byte_rate = le32(f + 8);
    const uint16_t block_align = le16(f + 12);
    const uint16_t bits = le16(f + 14);
    uint32_t extra = format_size >= 18 ? le16(f + 16) : 0;
    if (extra > format_size - 18) extra = format_size >= 18 ? format_size - 18 : 0;
    const uint8_t* extra_bytes = f + 18;
    if (channels == 0 || rate == 0 || rate > INT32_MAX)
        return refuse(nullptr, why, why_size, "audio format without channels or sample rate");

    uint32_t channel_mask = 0;
    if (tag == kTagExtensible) {
        if (extra < 22) return refuse(nullptr, why, why_size, "extensible audio format block too short");
        channel_mask = le32(extra_bytes + 2);
        if (std::memcmp(extra_bytes + 10, kSubformatTail, sizeof kSubformatTail) != 0)
            return refuse(nullptr, why, why_size, "no decoder for the extensible audio format's subformat");
        tag = le16(extra_bytes + 6);  // the first bytes of the subformat's GUID
        extra_bytes += 22;
        extra -= 22;
    }
    const AVCodecID id = codec_of(tag, bits);
    const AVCodec* codec = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_decoder(id);
    if (!codec) {
        if (tag == kTagPcm || tag == kTagFloat)
            return refuse(nullptr, why, why_size, "no decoder for %u-bit PCM", bits);
        return refuse(nullptr, why, why_size, "no decoder for audio format 0x%04X", tag);
    }

    auto* d = static_cast<AudioDecoder*>(std::calloc(1, sizeof(AudioDecoder)));
    if (!d) return refuse(nullptr, why, why_size, "out of memory");
    d->rate = rate;
    d->channels = channels == 1 ? 1 : 2;
    av_channel_layout_default(&d->out_layout, d->channels);
    d->ctx = avcodec_alloc_context3(codec);
    d->pkt = av_packet_alloc();
    d->frame = av_frame_alloc();
    if (!d->ctx || !d->pkt || !d->frame) return refuse(d, why, why_size, "out of memory");
    AVCodecContext* c = d->ctx;
    c->sample_rate = static_cast<int>(rate);
    // The speakers the extensible format names, where they are as many as its channels.
    if (channel_mask == 0 || av_popcount(channel_mask) != channels ||
        av_channel_layout_from_mask(&c->ch_layout, channel_mask) < 0)
        av_channel_layout_default(&c->ch_layout, channels);
    c->block_align = block_align;
    c->bit_rate = static_cast<int64_t>(byte_rate) * 8;
    c->bits_per_coded_sample = bits;
    if (extra > 0) {
        c->extradata = static_cast<uint8_t*>(av_mallocz(extra + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!c->extradata) return refuse(d, why, why_size, "out of memory");
        std::memcpy(c->extradata, extra_bytes, extra);
        c->extradata_size = static_cast<int>(extra);
    }
    if (avcodec_open2(c, codec, nullptr) < 0)
        return refuse(d, why, why_size, "the decoder refused audio format 0x%04X", tag);
    // As libavformat reads AVI: AAC with its configuration in the format is
    // stored a frame a chunk and has no header for the parser to find, nor
    // does FLAC's parser take chunks so.
    const bool whole_chunks = (id == AV_CODEC_ID_AAC && extra > 0) || id == AV_CODEC_ID_FLAC;
    if (!whole_chunks) d->parser = av_parser_init(id);
    return d;
}

uint32_t audio_decoder_rate(const AudioDecoder* decoder) { return decoder ? decoder->rate : 0; }

uint16_t audio_decoder_channels(const AudioDecoder* decoder) { return decoder ? decoder->channels : 0; }

int audio_decoder_push(AudioDecoder* decoder, const void* chunk, uint32_t bytes, const int16_t** samples,
                       uint32_t* count) {
    if (!decoder) return answer(decoder, 0, samples, count);
    decoder->out_count = 0;
    if (!chunk || bytes == 0) return answer(decoder, 1, samples, count);
    return answer(decoder, feed(*decoder, static_cast<const uint8_t*>(chunk), bytes), samples, count);
}

int audio_decoder_drain(AudioDecoder* decoder, const int16_t** samples, uint32_t* count) {
    if (!decoder) return answer(decoder, 0, samples, count);
    decoder->out_count = 0;
    int ok = feed(*decoder, nullptr, 0);
    if (ok && decoder->swr) ok = convert(*decoder, nullptr, 0);
    return answer(decoder, ok, samples, count);
}

void audio_decoder_close(AudioDecoder* decoder) {
    if (!decoder) return;
    av_parser_close(decoder->parser);
    avcodec_free_context(&decoder->ctx);
    av_packet_free(&decoder->pkt);
    av_frame_free(&decoder->frame);
    av_buffer_pool_uninit(&decoder->packets);
    swr_free(&decoder->swr);
    av_channel_layout_uninit(&decoder->swr_layout);
    av_channel_layout_uninit(&decoder->out_layout);
    std::free(decoder->out);
    std::free(decoder->input);
    std::free(decoder);
}
