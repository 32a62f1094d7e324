// A VFAPI reader plug-in over libavformat and libavcodec. It opens whatever
// FFmpeg opens and hands out the first video stream's pictures as 24-bit
// blue-green-red rows, written where the caller's read request says.
//
// Frames are numbered from 0 in decoding-display order. Reading frame n+1
// after frame n decodes on; any other frame number seeks (to the key frame at
// or before it, then decodes forward to it).
//
// The frame count is exact: the container's own when it keeps one, else the
// video packets counted in one pass over the file at the open (a duration
// times a rate is wrong for variable-rate streams, and unknown for raw ones).
// That pass also keeps every packet's time stamp, so that a frame number is
// found by its place among them, not by a frame rate the stream doesn't keep.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "console/vfapi.h"
#include "common/pixels.h"

namespace {

// How far ahead decoding on is cheaper than a seek.
constexpr int64_t kDecodeAheadLimit = 48;

struct Reader {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
    int stream_index = -1;
    bool has_audio = false;
    int audio_index = -1;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    PixelsToBgr convert;
    int width = 0;
    int height = 0;
    AVRational rate{25, 1};   // frames per second
    uint64_t frame_count = 0;
    std::vector<int64_t> times;  // every frame's time stamp, in order; empty when not all are known
    int64_t next_frame = 0;   // number of the picture the decoder delivers next
    bool input_done = false;  // no packet left; the decoder is being drained
};

void reader_free(Reader* reader) {
    if (!reader) return;
    pixels_to_bgr_close(reader->convert);
    av_frame_free(&reader->frame);
    av_packet_free(&reader->packet);
    avcodec_free_context(&reader->codec);
    avformat_close_input(&reader->format);
    delete reader;
}

Reader* reader_of(VfapiHandle handle) { return reinterpret_cast<Reader*>(handle); }

AVRational frame_rate_of(const AVStream* stream) {
    if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0) return stream->avg_frame_rate;
    if (stream->r_frame_rate.num > 0 && stream->r_frame_rate.den > 0) return stream->r_frame_rate;
    return AVRational{25, 1};
}

// Counts the video stream's packets (one picture each) in a pass of its own
// over the file, keeping their time stamps in presentation order. false when
// the file can't be read again.
bool count_frames(const char* path, Reader& reader) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path, nullptr, nullptr) != 0) return false;
    bool ok = avformat_find_stream_info(format, nullptr) >= 0 &&
              static_cast<unsigned>(reader.stream_index) < format->nb_streams;
    AVPacket* packet = ok ? av_packet_alloc() : nullptr;
    uint64_t count = 0;
    bool timed = true;
    std::vector<int64_t> times;
    while (packet && av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == reader.stream_index) {
            ++count;
            if (packet->pts == AV_NOPTS_VALUE) timed = false;
            if (timed) times.push_back(packet->pts);
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    if (!ok) return false;
    reader.frame_count = count;
    if (timed) {
        std::sort(times.begin(), times.end());
        // Two pictures at one time can't be told apart by it.
        if (std::adjacent_find(times.begin(), times.end()) == times.end()) reader.times = std::move(times);
    }
    return true;
}

// The container's count where it keeps one that can be trusted, else the
// packets counted.
bool frame_count_of(const char* path, Reader& reader) {
    const AVStream* stream = reader.stream;
    const char* name = reader.format->iformat ? reader.format->iformat->name : "";
    // MP4 and AVI list every sample in their index; others only estimate.
    const bool indexed = std::strstr(name, "mp4") != nullptr || std::strcmp(name, "avi") == 0;
    if (indexed && stream->nb_frames > 0) {
        reader.frame_count = static_cast<uint64_t>(stream->nb_frames);
        return true;
    }
    return count_frames(path, reader);
}

// The next picture into reader.frame; false at the end of the stream or on an error.
bool decode_next(Reader& reader) {
    for (;;) {
        int result = avcodec_receive_frame(reader.codec, reader.frame);
        if (result == 0) return true;
        if (result != AVERROR(EAGAIN)) return false;
        if (reader.input_done) return false;
        result = av_read_frame(reader.format, reader.packet);
        if (result < 0) {
            reader.input_done = true;
            avcodec_send_packet(reader.codec, nullptr);  // drain what is held back
            continue;
        }
        if (reader.packet->stream_index == reader.stream_index) {
            // A packet the decoder refuses is skipped; the next key frame recovers.
            avcodec_send_packet(reader.codec, reader.packet);
        }
        av_packet_unref(reader.packet);
    }
}

int64_t start_time_of(const Reader& reader) {
    return reader.stream->start_time != AV_NOPTS_VALUE ? reader.stream->start_time : 0;
}

// The time stamp of picture n.
int64_t time_of(const Reader& reader, int64_t n) {
    if (!reader.times.empty()) return reader.times[static_cast<size_t>(std::min<int64_t>(n, static_cast<int64_t>(reader.times.size()) - 1))];
    const AVRational frame_time = av_inv_q(reader.rate);
    return start_time_of(reader) + av_rescale_q(n, frame_time, reader.stream->time_base);
}

// The number of the picture in reader.frame from its time stamp, or -1.
int64_t number_of_decoded(const Reader& reader) {
    int64_t pts = reader.frame->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) return -1;
    if (!reader.times.empty()) {
        auto at = std::lower_bound(reader.times.begin(), reader.times.end(), pts);
        if (at == reader.times.end() || *at != pts) return -1;
        return at - reader.times.begin();
    }
    // Round to the nearest frame time: time stamps of variable-rate streams
    // do not fall on the grid exactly.
    const AVRational frame_time = av_inv_q(reader.rate);
    return av_rescale_q_rnd(pts - start_time_of(reader), reader.stream->time_base, frame_time,
                            static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
}

bool restart_at(Reader& reader, int64_t timestamp, int flags = AVSEEK_FLAG_BACKWARD) {
    if (av_seek_frame(reader.format, reader.stream_index, timestamp, flags) < 0) return false;
    avcodec_flush_buffers(reader.codec);
    reader.input_done = false;
    return true;
}

// Leaves picture n in reader.frame.
bool fetch_frame(Reader& reader, int64_t n) {
    if (n < reader.next_frame || n - reader.next_frame > kDecodeAheadLimit) {
        const int64_t target = time_of(reader, n);
        bool positioned = restart_at(reader, target);
        if (positioned) {
            // Decode up to the wanted picture; the seek lands on a key frame at or before it.
            for (;;) {
                if (!decode_next(reader)) {
                    positioned = false;
                    break;
                }
                int64_t number = number_of_decoded(reader);
                if (number < 0) {
                    positioned = false;
                    break;
                }
                if (number == n) {
                    reader.next_frame = n + 1;
                    return true;
                }
                if (number > n) {  // the seek overshot (a container that seeks coarsely)
                    positioned = false;
                    break;
                }
            }
        }
        // Without usable time stamps count from the start: by the first byte
        // for streams whose time stamps are missing or jump (raw, MPEG), else
        // by the first time stamp.
        const bool by_byte = reader.format->iformat->flags & (AVFMT_NOTIMESTAMPS | AVFMT_TS_DISCONT);
        if (!(by_byte && restart_at(reader, 0, AVSEEK_FLAG_BYTE)) && !restart_at(reader, start_time_of(reader)) &&
            !restart_at(reader, reader.format->start_time != AV_NOPTS_VALUE ? reader.format->start_time : 0) &&
            !restart_at(reader, 0, AVSEEK_FLAG_BYTE))
            return false;
        reader.next_frame = 0;
    }
    while (reader.next_frame <= n) {
        if (!decode_next(reader)) return false;
        ++reader.next_frame;
    }
    return true;
}

HRESULT WINAPI open_input(LPCSTR path, VfapiHandle* handle) {
    if (!path || !handle) return kVfapiError;
    *handle = 0;
    if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
    auto* reader = new (std::nothrow) Reader;
    if (!reader) return kVfapiError;

    bool ok = avformat_open_input(&reader->format, path, nullptr, nullptr) == 0 &&
              avformat_find_stream_info(reader->format, nullptr) >= 0;
    if (!ok) {
        reader_free(reader);
        return kVfapiError;
    }
    for (unsigned i = 0; i < reader->format->nb_streams; ++i)
        if (reader->format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && !reader->has_audio) {
            reader->has_audio = true;
            reader->audio_index = static_cast<int>(i);
        }

    const AVCodec* decoder = nullptr;
    reader->stream_index = av_find_best_stream(reader->format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (reader->stream_index >= 0 && decoder) {
        // A file we open but can't decode would only fail at the first frame.
        reader->stream = reader->format->streams[reader->stream_index];
        reader->codec = avcodec_alloc_context3(decoder);
        ok = reader->codec && avcodec_parameters_to_context(reader->codec, reader->stream->codecpar) >= 0;
        if (ok) {
            reader->codec->thread_count = 0;  // as many as the machine has
            ok = avcodec_open2(reader->codec, decoder, nullptr) == 0;
        }
        reader->packet = av_packet_alloc();
        reader->frame = av_frame_alloc();
        reader->width = reader->stream->codecpar->width;
        reader->height = reader->stream->codecpar->height;
        if (!ok || !reader->packet || !reader->frame || reader->width <= 0 || reader->height <= 0) {
            reader_free(reader);
            return kVfapiError;
        }
        reader->rate = frame_rate_of(reader->stream);
        if (!frame_count_of(path, *reader)) {
            reader_free(reader);
            return kVfapiError;
        }
    } else {
        // No picture to read: the file still opens, and says so in its flags.
        reader->stream_index = -1;
        if (!reader->has_audio) {
            reader_free(reader);
            return kVfapiError;
        }
    }
    *handle = reinterpret_cast<VfapiHandle>(reader);
    return kVfapiOk;
}

HRESULT WINAPI close_input(VfapiHandle handle) {
    reader_free(reader_of(handle));
    return kVfapiOk;
}

HRESULT WINAPI query_file_info(VfapiHandle handle, VfapiFileInfo* info) {
    Reader* reader = reader_of(handle);
    if (!reader || !info || info->dwSize < sizeof(VfapiFileInfo)) return kVfapiError;
    info->dwStreamFlags = (reader->stream ? kVfapiHasVideo : 0) | (reader->has_audio ? kVfapiHasAudio : 0);
    return kVfapiOk;
}

HRESULT WINAPI query_stream_info(VfapiHandle handle, DWORD stream_kind, void* info) {
    Reader* reader = reader_of(handle);
    if (!reader || !info) return kVfapiError;
    if (stream_kind == kVfapiStreamVideo) {
        auto* video = static_cast<VfapiVideoInfo*>(info);
        if (!reader->stream || video->dwSize < sizeof(VfapiVideoInfo)) return kVfapiError;
        video->dwFrameCountL = static_cast<DWORD>(reader->frame_count);
        video->dwFrameCountH = static_cast<DWORD>(reader->frame_count >> 32);
        video->dwFrameRate = static_cast<DWORD>(reader->rate.num);
        video->dwFrameScale = static_cast<DWORD>(reader->rate.den);
        video->dwFrameWidth = static_cast<DWORD>(reader->width);
        video->dwFrameHeight = static_cast<DWORD>(reader->height);
        video->dwPixelBits = 24;
        return kVfapiOk;
    }
    if (stream_kind == kVfapiStreamAudio) {
        // Audio is described (as 16-bit samples) but not delivered.
        auto* audio = static_cast<VfapiAudioInfo*>(info);
        if (!reader->has_audio || audio->dwSize < sizeof(VfapiAudioInfo)) return kVfapiError;
        const AVCodecParameters* a = reader->format->streams[reader->audio_index]->codecpar;
        const uint64_t samples =
            reader->format->duration > 0 && a->sample_rate > 0
                ? static_cast<uint64_t>(av_rescale(reader->format->duration, a->sample_rate, AV_TIME_BASE))
                : 0;
        audio->dwLengthL = static_cast<DWORD>(samples);
        audio->dwLengthH = static_cast<DWORD>(samples >> 32);
        audio->dwRate = static_cast<DWORD>(a->sample_rate > 0 ? a->sample_rate : 0);
        audio->dwScale = 1;
        audio->dwChannels = static_cast<DWORD>(a->ch_layout.nb_channels > 0 ? a->ch_layout.nb_channels : 0);
        audio->dwBitsPerSample = 16;
        audio->dwBlockAlign = audio->dwChannels * 2;
        return kVfapiOk;
    }
    return kVfapiError;
}

HRESULT WINAPI read_data(VfapiHandle handle, DWORD stream_kind, void* data) {
    Reader* reader = reader_of(handle);
    auto* request = static_cast<VfapiVideoRead*>(data);
    if (!reader || !reader->stream || stream_kind != kVfapiStreamVideo || !request ||
        request->dwSize < sizeof(VfapiVideoRead) || !request->lpData)
        return kVfapiError;
    const uint64_t number = (static_cast<uint64_t>(request->dwFrameNumberH) << 32) | request->dwFrameNumberL;
    if (number >= reader->frame_count || !fetch_frame(*reader, static_cast<int64_t>(number)))
        return kVfapiError;

    // Through a picture of ours, copied row by row into the caller's rows:
    // libswscale writes past the end of its rows at some sizes, and the
    // caller's frame holds exactly the picture.
    const PixelsRows rows{static_cast<uint8_t*>(request->lpData), static_cast<std::ptrdiff_t>(request->lPitch)};
    const PixelsResult result = pixels_to_bgr(reader->convert, reader->frame, rows, reader->width, reader->height,
                                              SWS_BICUBIC, PixelsWrite::staged);
    return result == PixelsResult::ok ? kVfapiOk : kVfapiError;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT WINAPI vfGetPluginInfo(VfapiPluginInfo* info) {
    if (!info || info->dwSize < sizeof(VfapiPluginInfo)) return kVfapiError;
    info->dwAPIVersion = 1;
    info->dwVersion = 1;
    info->dwSupportStreamType = kVfapiHasVideo;
    std::snprintf(info->cPluginInfo, sizeof info->cPluginInfo, "libavformat reader 1.0");
    std::snprintf(info->cFileType, sizeof info->cFileType, "Video files (*.mp4;*.mkv;*.mov;*.y4m)|*.mp4;*.mkv;*.mov;*.y4m");
    return kVfapiOk;
}

extern "C" __attribute__((visibility("default"))) HRESULT WINAPI vfGetPluginFunc(VfapiFunctionTable* table) {
    if (!table || table->dwSize < sizeof(VfapiFunctionTable)) return kVfapiError;
    table->OpenInput = open_input;
    table->CloseInput = close_input;
    table->QueryFileInfo = query_file_info;
    table->QueryStreamInfo = query_stream_info;
    table->ReadData = read_data;
    return kVfapiOk;
}
