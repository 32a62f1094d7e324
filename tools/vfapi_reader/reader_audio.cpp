#include "tools/vfapi_reader/reader_audio.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace {

// Positions up to this far past what was decoded last are decoded up to:
// cheaper than a seek, and exact.
constexpr int64_t kDecodeAheadSeconds = 4;
// A seek lands this far before the position asked for: decoders whose frames
// overlap (AAC) or reach back (MP3's bit reservoir) give the samples a plain
// decode gives only from a frame or two after a flush on.
constexpr int64_t kPrerollMs = 250;
// Time stamps are compared in these fractions of a sample: two times each
// rounded to whole samples could place a frame one sample off.
constexpr int64_t kSubsamples = 1024;
// Above this, rate * kSubsamples no longer fits a rational's terms.
constexpr int kMaxRate = 2000000;
// Positions from here on lie past the end of any stream (and stay far from
// overflowing in subsample units).
constexpr int64_t kMaxPosition = int64_t{1} << 50;

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

struct ReaderAudio {
    std::string path;
    int index = -1;
    int64_t origin = 0;  // the time of position 0
    AVRational origin_base{1, 1};
    int rate = 0;
    int channels = 0;
    AVRational time_base{1, 1};      // the stream's, as both contexts have it
    int64_t start_time = AV_NOPTS_VALUE;
    int64_t length = 0;

    AVFormatContext* format = nullptr;
    AVStream* stream = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwrContext* resample = nullptr;
    AVChannelLayout resample_layout{};  // the input the converter is set up for
    int resample_format = -1;
    int resample_rate = 0;

    std::vector<int16_t> pending;  // the frame decoded last, converted; only grows
    int64_t pending_position = 0;  // of its first sample
    int64_t pending_count = 0;     // its samples (of all channels)
    // Where decoding stands: it started at the top of the file (else at a
    // seek for position `lowest`); the frames decoded since; the lowest
    // position decoding on still gives; the position it continues from.
    bool top = true;
    int64_t decoded = 0;
    int64_t lowest = 0;
    int64_t front = 0;
    bool input_done = false;
    bool ended = false;
    bool ready = false;  // the file, decoder and packet are open
    bool out_of_memory = false;
};

namespace {

int noted(ReaderAudio& a, int result) {
    if (result == AVERROR(ENOMEM)) a.out_of_memory = true;
    return result;
}

AVRational fine_base(const ReaderAudio& a) { return AVRational{1, static_cast<int>(a.rate * kSubsamples)}; }

// The position of a time of the stream, to the nearest sample.
int64_t position_of(const ReaderAudio& a, int64_t time) {
    const auto round = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);
    const int64_t at = av_rescale_q_rnd(time, a.time_base, fine_base(a), round) -
                       av_rescale_q_rnd(a.origin, a.origin_base, fine_base(a), round);
    return floor_div(at + kSubsamples / 2, kSubsamples);
}

// The time of the stream at position.
int64_t time_of(const ReaderAudio& a, int64_t position) {
    const int64_t origin = av_rescale_q(a.origin, a.origin_base, fine_base(a));
    return av_rescale_q(position * kSubsamples + origin, fine_base(a), a.time_base);
}

int64_t start_position_of(const ReaderAudio& a) {
    return a.start_time != AV_NOPTS_VALUE ? position_of(a, a.start_time) : 0;
}

void close_decoding(ReaderAudio& a) {
    a.ready = false;
    swr_free(&a.resample);
    av_channel_layout_uninit(&a.resample_layout);
    a.resample_format = -1;
    a.resample_rate = 0;
    av_frame_free(&a.frame);
    av_packet_free(&a.packet);
    avcodec_free_context(&a.codec);
    avformat_close_input(&a.format);
    a.stream = nullptr;
}

// Decoding from the top of the file, on a context of its own that demuxes
// the stream alone (the file opened again: the same streams in the same order).
bool open_decoding(ReaderAudio& a) {
    close_decoding(a);
    a.pending_count = 0;
    a.top = true;
    a.decoded = 0;
    a.lowest = INT64_MIN;
    a.front = 0;
    a.input_done = false;
    a.ended = false;
    if (noted(a, avformat_open_input(&a.format, a.path.c_str(), nullptr, nullptr)) != 0 ||
        noted(a, avformat_find_stream_info(a.format, nullptr)) < 0 ||
        static_cast<unsigned>(a.index) >= a.format->nb_streams)
        return false;
    for (unsigned i = 0; i < a.format->nb_streams; ++i)
        if (static_cast<int>(i) != a.index) a.format->streams[i]->discard = AVDISCARD_ALL;
    a.stream = a.format->streams[a.index];
    if (a.stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO || a.stream->time_base.num <= 0 ||
        a.stream->time_base.den <= 0)
        return false;
    a.time_base = a.stream->time_base;
    const AVCodec* decoder = avcodec_find_decoder(a.stream->codecpar->codec_id);
    if (!decoder) return false;
    a.codec = avcodec_alloc_context3(decoder);
    a.packet = av_packet_alloc();
    a.frame = av_frame_alloc();
    if (!a.codec || !a.packet || !a.frame) {
        a.out_of_memory = true;
        return false;
    }
    if (noted(a, avcodec_parameters_to_context(a.codec, a.stream->codecpar)) < 0) return false;
    // Lets the decoder move a frame's time stamp past the priming samples it drops.
    a.codec->pkt_timebase = a.stream->time_base;
    a.ready = noted(a, avcodec_open2(a.codec, decoder, nullptr)) == 0;
    return a.ready;
}

// Decoding from a little before position, by a seek; from the top where
// that lies near the start or the seek fails.
bool reposition(ReaderAudio& a, int64_t position) {
    const int64_t preroll = a.rate * kPrerollMs / 1000;
    if (position - preroll > start_position_of(a) &&
        av_seek_frame(a.format, a.index, time_of(a, position - preroll), AVSEEK_FLAG_BACKWARD) >= 0) {
        avcodec_flush_buffers(a.codec);
        swr_free(&a.resample);  // nothing of the frames before may follow
        a.pending_count = 0;
        a.top = false;
        a.decoded = 0;
        a.lowest = position;
        a.front = position;
        a.input_done = false;
        a.ended = false;
        return true;
    }
    return open_decoding(a);
}

// The decoded frame as 16-bit samples of our channels into pending. false
// when it can't be converted (out_of_memory tells whether memory ran out).
bool convert(ReaderAudio& a) {
    const AVFrame& f = *a.frame;
    AVChannelLayout in{};
    // A layout without an order is taken as the usual one of that many channels.
    if (f.ch_layout.order != AV_CHANNEL_ORDER_UNSPEC && f.ch_layout.nb_channels > 0) {
        if (noted(a, av_channel_layout_copy(&in, &f.ch_layout)) < 0) return false;
    } else {
        av_channel_layout_default(&in, f.ch_layout.nb_channels > 0 ? f.ch_layout.nb_channels : a.channels);
    }
    if (!a.resample || a.resample_format != f.format || a.resample_rate != f.sample_rate ||
        av_channel_layout_compare(&a.resample_layout, &in) != 0) {
        swr_free(&a.resample);
        av_channel_layout_uninit(&a.resample_layout);
        AVChannelLayout out{};
        av_channel_layout_default(&out, a.channels);
        const bool made = noted(a, swr_alloc_set_opts2(&a.resample, &out, AV_SAMPLE_FMT_S16, a.rate, &in,
                                                       static_cast<AVSampleFormat>(f.format), f.sample_rate, 0,
                                                       nullptr)) >= 0 &&
                          noted(a, swr_init(a.resample)) >= 0;
        av_channel_layout_uninit(&out);
        if (!made) {
            swr_free(&a.resample);
            av_channel_layout_uninit(&in);
            return false;
        }
        a.resample_layout = in;  // owns in's allocation, if any, from here on
        a.resample_format = f.format;
        a.resample_rate = f.sample_rate;
    } else {
        av_channel_layout_uninit(&in);
    }
    const int room = swr_get_out_samples(a.resample, f.nb_samples);
    if (room <= 0) {
        a.pending_count = 0;
        return room == 0;
    }
    const size_t need = static_cast<size_t>(room) * static_cast<size_t>(a.channels);
    if (a.pending.size() < need) a.pending.resize(need);
    auto* out = reinterpret_cast<uint8_t*>(a.pending.data());
    const int got = noted(a, swr_convert(a.resample, &out, room, const_cast<const uint8_t**>(f.extended_data),
                                         f.nb_samples));
    if (got < 0) return false;
    a.pending_count = got;
    return true;
}

// The next decoded frame into pending, placed; false at the end of the
// stream and when memory ran out.
bool decode_frame(ReaderAudio& a) {
    while (!a.ended) {
        const int result = noted(a, avcodec_receive_frame(a.codec, a.frame));
        if (a.out_of_memory) return false;
        if (result == 0) {
            const int64_t follows = a.front;  // the end of the frame placed last
            const int64_t pts = a.frame->pts != AV_NOPTS_VALUE ? a.frame->pts : a.frame->best_effort_timestamp;
            const bool placed_by_time = a.decoded == 0;
            if (placed_by_time && pts == AV_NOPTS_VALUE && !a.top) {
                // After a seek only the time stamp tells where the samples
                // are: without one, from the top.
                av_frame_unref(a.frame);
                if (!open_decoding(a)) return false;
                continue;
            }
            const bool converted = convert(a);
            av_frame_unref(a.frame);
            if (!converted) {
                if (a.out_of_memory) return false;
                // A frame that can't be converted is skipped; the next is placed by its time.
                a.decoded = 0;
                a.pending_count = 0;
                continue;
            }
            if (a.pending_count == 0) continue;
            a.pending_position = !placed_by_time             ? follows
                                 : pts != AV_NOPTS_VALUE ? position_of(a, pts)
                                                         : start_position_of(a);
            ++a.decoded;
            // The silence before the first frame from the top is the
            // stream's own; before any other frame it was never decoded.
            if (!(a.top && a.decoded == 1)) a.lowest = a.pending_position;
            a.front = a.pending_position + a.pending_count;
            return true;
        }
        if (result == AVERROR_EOF || (result == AVERROR(EAGAIN) && a.input_done)) {
            a.ended = true;
            return false;
        }
        // Any other failure is damage in the stream: decoding goes on with
        // the next packet, and its frame is placed by its time.
        if (result != AVERROR(EAGAIN)) a.decoded = 0;
        const int read = noted(a, av_read_frame(a.format, a.packet));
        if (a.out_of_memory) return false;
        if (read < 0) {
            a.input_done = true;
            avcodec_send_packet(a.codec, nullptr);  // drain what is held back
            continue;
        }
        // A packet the decoder refuses is skipped.
        if (a.packet->stream_index == a.index) noted(a, avcodec_send_packet(a.codec, a.packet));
        av_packet_unref(a.packet);
        if (a.out_of_memory) return false;
    }
    return false;
}

int64_t read_samples(ReaderAudio& a, int64_t position, uint32_t count, uint8_t* out) {
    if (position < 0 || position >= kMaxPosition) return 0;
    const int64_t ahead = a.rate * kDecodeAheadSeconds;
    if (!a.ready || position < a.lowest || position > a.front + ahead) {
        if (!(a.ready ? reposition(a, position) : open_decoding(a))) return a.out_of_memory ? -1 : 0;
    }
    const size_t channels = static_cast<size_t>(a.channels);
    const size_t block = channels * sizeof(int16_t);
    int64_t written = 0;
    while (written < count) {
        const int64_t at = position + written;
        const int64_t held_end = a.pending_position + a.pending_count;
        const int64_t left = count - written;
        uint8_t* to = out + static_cast<size_t>(written) * block;
        if (a.pending_count > 0 && at >= a.pending_position && at < held_end) {
            const int64_t n = std::min(held_end - at, left);
            std::memcpy(to, a.pending.data() + static_cast<size_t>(at - a.pending_position) * channels,
                        static_cast<size_t>(n) * block);
            written += n;
        } else if (a.pending_count > 0 && at < a.pending_position) {
            if (a.top && a.decoded == 1) {  // before the stream's first sample: silence
                const int64_t n = std::min(a.pending_position - at, left);
                std::memset(to, 0, static_cast<size_t>(n) * block);
                written += n;
            } else if (!open_decoding(a)) {  // the seek went past the position: from the top
                break;
            }
        } else if (!decode_frame(a)) {
            break;
        }
    }
    if (a.out_of_memory) return -1;
    return written;
}

}  // namespace

ReaderAudio* reader_audio_open(const char* path, const AVFormatContext* format, int index, int64_t origin,
                               AVRational origin_base, bool& out_of_memory) {
    const AVStream& stream = *format->streams[index];
    const AVCodecParameters& p = *stream.codecpar;
    if (p.codec_type != AVMEDIA_TYPE_AUDIO || p.sample_rate <= 0 || p.sample_rate > kMaxRate ||
        p.ch_layout.nb_channels <= 0 || stream.time_base.num <= 0 || stream.time_base.den <= 0 ||
        !avcodec_find_decoder(p.codec_id))
        return nullptr;
    auto* a = new (std::nothrow) ReaderAudio;
    if (!a) {
        out_of_memory = true;
        return nullptr;
    }
    try {
        a->path = path;
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
        delete a;
        return nullptr;
    }
    a->index = index;
    a->origin = origin;
    if (origin_base.num > 0 && origin_base.den > 0) a->origin_base = origin_base;
    a->rate = p.sample_rate;
    a->channels = p.ch_layout.nb_channels == 1 ? 1 : 2;
    a->time_base = stream.time_base;
    a->start_time = stream.start_time;

    // The stream's end by its duration, else by the container's.
    int64_t end = AV_NOPTS_VALUE;
    if (stream.duration != AV_NOPTS_VALUE && stream.duration > 0) {
        end = (stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0) + stream.duration;
    } else if (format->duration != AV_NOPTS_VALUE && format->duration > 0) {
        const int64_t start = format->start_time != AV_NOPTS_VALUE ? format->start_time : 0;
        end = av_rescale_q(start + format->duration, AV_TIME_BASE_Q, stream.time_base);
    }
    a->length = end == AV_NOPTS_VALUE ? 0 : std::max<int64_t>(position_of(*a, end), 0);
    return a;
}

void reader_audio_close(ReaderAudio* audio) {
    if (!audio) return;
    close_decoding(*audio);
    delete audio;
}

int reader_audio_rate(const ReaderAudio* audio) { return audio->rate; }
int reader_audio_channels(const ReaderAudio* audio) { return audio->channels; }

int64_t reader_audio_length(const ReaderAudio* audio) { return audio->length; }

int64_t reader_audio_read(ReaderAudio* audio, int64_t position, uint32_t count, void* out, bool& out_of_memory) {
    ReaderAudio& a = *audio;
    a.out_of_memory = false;
    int64_t written = -1;
    try {
        written = read_samples(a, position, count, static_cast<uint8_t*>(out));
    } catch (const std::bad_alloc&) {
        a.out_of_memory = true;
    }
    if (a.out_of_memory) {
        out_of_memory = true;
        return -1;
    }
    return written;
}
