// A VFAPI reader plug-in over libavformat and libavcodec. It opens whatever
// FFmpeg opens and hands out the first video stream's pictures as 24-bit
// blue-green-red rows, written where the caller's read request says, turned
// and flipped as the stream's display matrix says they are shown.
//
// Frames are numbered from 0 in decoding-display order. Reading frame n+1
// after frame n decodes on; any other frame number seeks (to the key frame at
// or before it, then decodes forward to it).
//
// The frame count is exact: AVI's own, else the video packets counted in one
// pass over the file at the open (a duration times a rate is wrong for
// variable-rate streams, and unknown for raw ones; an MP4 index also lists
// the pictures an edit list cuts away, which are never shown). That pass
// also keeps every packet's time stamp, so that a picture is found by its
// place among them, not by a frame rate the stream doesn't keep.
//
// The caller takes the frames at one fixed rate. Where the time stamps are
// known the pictures are served on that rate's grid: frame n is the picture
// on screen at n / rate, so that pictures of a variable-rate stream are
// repeated or dropped and the whole keeps time with its sound. The rate is
// the container's when every picture keeps it, else the average, pictures
// over the stream's length.
//
// The first audio stream, if any, is served as 16-bit PCM of 1 or 2 channels
// at its own sample rate (reader_audio.h), sample 0 at the time of frame 0:
// where the audio starts later than the pictures silence comes first, where
// it starts earlier what lies before the first picture is left out.
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

#include "common/pixels.h"
#include "console/vfapi.h"
#include "tools/vfapi_reader/orientation.h"
#include "tools/vfapi_reader/reader_audio.h"

namespace {

// How far ahead decoding on is cheaper than a seek.
constexpr int64_t kDecodeAheadLimit = 48;
// The largest numerator and denominator of an average rate: close enough to
// keep time over days of video, small enough for any AVI reader.
constexpr int kMaxRateTerm = 1000000;

struct Reader {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
    int stream_index = -1;
    bool has_audio = false;
    int audio_index = -1;
    ReaderAudio* audio = nullptr;  // opened when the audio is first asked about
    bool audio_tried = false;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    PixelsToBgr convert;
    int width = 0;            // as shown
    int height = 0;
    int decoded_width = 0;    // as decoded, before the display matrix turns it
    int decoded_height = 0;
    Orientation orientation;
    std::vector<uint8_t> upright;  // the decoded picture before it is turned; empty when upright
    AVRational rate{25, 1};   // frames per second served
    uint64_t frame_count = 0; // frames served
    std::vector<int64_t> times;  // every picture's time stamp, in order; empty when not all are known
    bool on_time_grid = false;   // frame n is the picture on screen at n / rate, not picture n
    int64_t next_frame = 0;   // number of the picture the decoder delivers next
    int64_t shown = -1;       // number of the picture in frame, or -1
    bool input_done = false;  // no packet left; the decoder is being drained
    bool out_of_memory = false;  // what made the current call fail
};

void reader_free(Reader* reader) {
    if (!reader) return;
    reader_audio_close(reader->audio);
    pixels_to_bgr_close(reader->convert);
    av_frame_free(&reader->frame);
    av_packet_free(&reader->packet);
    avcodec_free_context(&reader->codec);
    avformat_close_input(&reader->format);
    delete reader;
}

Reader* reader_of(VfapiHandle handle) { return reinterpret_cast<Reader*>(handle); }

// libav's result, noting on the way whether memory ran out.
int noted(Reader& reader, int result) {
    if (result == AVERROR(ENOMEM)) reader.out_of_memory = true;
    return result;
}

// What a failed call answers: the caller can tell a lack of memory from a file it can't read.
HRESULT failure_of(const Reader& reader) { return reader.out_of_memory ? kVfapiOutOfMemory : kVfapiError; }

AVRational frame_rate_of(const AVStream* stream) {
    if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0) return stream->avg_frame_rate;
    if (stream->r_frame_rate.num > 0 && stream->r_frame_rate.den > 0) return stream->r_frame_rate;
    return AVRational{25, 1};
}

// Counts the video stream's pictures (one packet each, those an edit list
// cuts away left out) in a pass of its own over the file, keeping their time
// stamps in presentation order and the time the last one ends. false when the
// file can't be read again.
bool count_frames(const char* path, Reader& reader, int64_t& end) {
    AVFormatContext* format = nullptr;
    if (noted(reader, avformat_open_input(&format, path, nullptr, nullptr)) != 0) return false;
    bool ok = noted(reader, avformat_find_stream_info(format, nullptr)) >= 0 &&
              static_cast<unsigned>(reader.stream_index) < format->nb_streams;
    // Only the pictures are looked at; demuxers skip the data of discarded streams.
    for (unsigned i = 0; ok && i < format->nb_streams; ++i)
        if (static_cast<int>(i) != reader.stream_index) format->streams[i]->discard = AVDISCARD_ALL;
    AVPacket* packet = ok ? av_packet_alloc() : nullptr;
    if (ok && !packet) reader.out_of_memory = true;
    uint64_t count = 0;
    bool timed = true;
    std::vector<int64_t> times;
    end = AV_NOPTS_VALUE;
    try {
        while (packet && noted(reader, av_read_frame(format, packet)) >= 0) {
            if (packet->stream_index == reader.stream_index && !(packet->flags & AV_PKT_FLAG_DISCARD)) {
                ++count;
                if (packet->pts == AV_NOPTS_VALUE) timed = false;
                if (timed) {
                    times.push_back(packet->pts);
                    const int64_t ends = packet->pts + std::max<int64_t>(packet->duration, 0);
                    if (end == AV_NOPTS_VALUE || ends > end) end = ends;
                }
            }
            av_packet_unref(packet);
        }
    } catch (const std::bad_alloc&) {
        reader.out_of_memory = true;
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    if (!ok || reader.out_of_memory) return false;
    reader.frame_count = count;
    if (timed) {
        std::sort(times.begin(), times.end());
        // Two pictures at one time can't be told apart by it.
        if (std::adjacent_find(times.begin(), times.end()) == times.end()) reader.times = std::move(times);
    }
    return true;
}

// Serves the pictures of a stream whose time stamps are all known on a grid
// of one rate (see the top of the file). Streams whose time stamps jump or
// are made up (MPEG, raw) are served picture by picture, as are streams
// whose time line is not a plain span.
void set_time_grid(Reader& reader, int64_t end) {
    if (reader.times.empty() || (reader.format->iformat->flags & (AVFMT_NOTIMESTAMPS | AVFMT_TS_DISCONT))) return;
    const AVRational base = reader.stream->time_base;
    const AVRational declared = reader.rate;
    if (base.num <= 0 || base.den <= 0) return;
    const int64_t first = reader.times.front(), last = reader.times.back();
    // The last picture lasts as long as its packet says, else a frame at the declared rate.
    if (end == AV_NOPTS_VALUE || end <= last)
        end = last + std::max<int64_t>(1, av_rescale_q(1, av_inv_q(declared), base));
    if (end <= first || end - first > (INT64_MAX >> 2) / base.num) return;
    const int64_t span = end - first;
    const auto count = static_cast<int64_t>(reader.times.size());
    // The declared rate is the stream's own when every picture starts on its
    // own frame of it (stamps are rounded; the last picture's length is often
    // cut short by an edit list).
    const int64_t tick_num = static_cast<int64_t>(base.num) * declared.num;
    const int64_t tick_den = static_cast<int64_t>(base.den) * declared.den;
    bool keeps_declared = true;
    for (int64_t k = 0; keeps_declared && k < count; ++k)
        keeps_declared = av_rescale_rnd(reader.times[static_cast<size_t>(k)] - first, tick_num, tick_den,
                                        AV_ROUND_NEAR_INF) == k;
    if (keeps_declared) return;  // frame n is picture n
    AVRational average{0, 1};
    av_reduce(&average.num, &average.den, count * base.den, span * base.num, kMaxRateTerm);
    if (average.num <= 0 || average.den <= 0) return;
    reader.rate = average;
    reader.on_time_grid = true;
}

// AVI's count, which its index keeps exactly, else the pictures counted,
// with the rate and grid they are served at.
bool frame_count_of(const char* path, Reader& reader) {
    const AVStream* stream = reader.stream;
    const char* name = reader.format->iformat ? reader.format->iformat->name : "";
    if (std::strcmp(name, "avi") == 0 && stream->nb_frames > 0) {
        reader.frame_count = static_cast<uint64_t>(stream->nb_frames);
        return true;
    }
    int64_t end = AV_NOPTS_VALUE;
    if (!count_frames(path, reader, end)) return false;
    set_time_grid(reader, end);
    return true;
}

// The number of the picture on screen at frame n.
int64_t picture_of(const Reader& reader, int64_t n) {
    if (!reader.on_time_grid) return n;
    // The last picture that starts before the middle of frame n: pictures
    // that keep the rate land each on its own frame despite rounded stamps.
    const AVRational base = reader.stream->time_base;
    const int64_t middle = reader.times.front() +
                           av_rescale_rnd(2 * n + 1, static_cast<int64_t>(reader.rate.den) * base.den,
                                          2 * static_cast<int64_t>(reader.rate.num) * base.num, AV_ROUND_DOWN);
    const auto after = std::upper_bound(reader.times.begin(), reader.times.end(), middle);
    return after == reader.times.begin() ? 0 : (after - reader.times.begin()) - 1;
}

// The next picture into reader.frame; false at the end of the stream or on an error.
bool decode_next(Reader& reader) {
    for (;;) {
        int result = noted(reader, avcodec_receive_frame(reader.codec, reader.frame));
        if (result == 0) return true;
        if (result != AVERROR(EAGAIN)) return false;
        if (reader.input_done) return false;
        result = noted(reader, av_read_frame(reader.format, reader.packet));
        if (reader.out_of_memory) return false;
        if (result < 0) {
            reader.input_done = true;
            avcodec_send_packet(reader.codec, nullptr);  // drain what is held back
            continue;
        }
        if (reader.packet->stream_index == reader.stream_index) {
            // A packet the decoder refuses is skipped; the next key frame
            // recovers. Not one it had no memory for: the pictures would go on without it.
            noted(reader, avcodec_send_packet(reader.codec, reader.packet));
        }
        av_packet_unref(reader.packet);
        if (reader.out_of_memory) return false;
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
        if (reader.out_of_memory) return false;
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

// The display matrix of the stream, or null.
const int32_t* display_matrix_of(const AVStream* stream) {
    size_t size = 0;
    const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    return data && size >= 9 * sizeof(int32_t) ? reinterpret_cast<const int32_t*>(data) : nullptr;
}

// The decoder, the shown size and the frame count of the video stream.
bool open_video(const char* path, Reader& reader, const AVCodec* decoder) {
    reader.stream = reader.format->streams[reader.stream_index];
    reader.codec = avcodec_alloc_context3(decoder);
    reader.packet = av_packet_alloc();
    reader.frame = av_frame_alloc();
    if (!reader.codec || !reader.packet || !reader.frame) {
        reader.out_of_memory = true;
        return false;
    }
    // A file we open but can't decode would only fail at the first frame.
    if (noted(reader, avcodec_parameters_to_context(reader.codec, reader.stream->codecpar)) < 0) return false;
    reader.codec->thread_count = 0;  // as many as the machine has
    const int opened = noted(reader, avcodec_open2(reader.codec, decoder, nullptr));
    // A decoder thread that can't be started had no room for its stack.
    if (opened == AVERROR(EAGAIN)) reader.out_of_memory = true;
    if (opened != 0) return false;
    reader.decoded_width = reader.stream->codecpar->width;
    reader.decoded_height = reader.stream->codecpar->height;
    if (reader.decoded_width <= 0 || reader.decoded_height <= 0) return false;

    // Shown as players show it: turned and flipped by the display matrix.
    reader.orientation = orientation_of_matrix(display_matrix_of(reader.stream));
    const bool swapped = orientation_swaps_sides(reader.orientation);
    reader.width = swapped ? reader.decoded_height : reader.decoded_width;
    reader.height = swapped ? reader.decoded_width : reader.decoded_height;
    if (!orientation_is_upright(reader.orientation))
        reader.upright.resize(static_cast<size_t>(reader.decoded_width) * 3 *
                              static_cast<size_t>(reader.decoded_height));

    reader.rate = frame_rate_of(reader.stream);
    return frame_count_of(path, reader);
}

bool open_reader(const char* path, Reader& reader) {
    if (noted(reader, avformat_open_input(&reader.format, path, nullptr, nullptr)) != 0 ||
        noted(reader, avformat_find_stream_info(reader.format, nullptr)) < 0)
        return false;
    for (unsigned i = 0; i < reader.format->nb_streams; ++i)
        if (reader.format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && !reader.has_audio) {
            reader.has_audio = true;
            reader.audio_index = static_cast<int>(i);
        }

    const AVCodec* decoder = nullptr;
    reader.stream_index = av_find_best_stream(reader.format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (reader.stream_index >= 0 && decoder) return open_video(path, reader, decoder);
    // No picture to read: the file still opens, and says so in its flags.
    reader.stream_index = -1;
    return reader.has_audio;
}

// The audio decoding, opened when first asked for: position 0 at the time of
// frame 0, or for a file of sound alone at the stream's own start.
ReaderAudio* audio_of(Reader& reader) {
    if (reader.audio || reader.audio_tried) return reader.audio;
    const AVStream* audio = reader.format->streams[reader.audio_index];
    int64_t origin = audio->start_time != AV_NOPTS_VALUE ? audio->start_time : 0;
    AVRational base = audio->time_base;
    if (reader.stream) {
        origin = reader.times.empty() ? start_time_of(reader) : reader.times.front();
        base = reader.stream->time_base;
    }
    bool out_of_memory = false;
    reader.audio = reader_audio_open(reader.format->url, reader.format, reader.audio_index, origin, base,
                                     out_of_memory);
    if (out_of_memory) reader.out_of_memory = true;
    // A stream that can't be decoded is not tried again; one that memory ran out for is.
    reader.audio_tried = reader.audio || !out_of_memory;
    return reader.audio;
}

HRESULT WINAPI open_input(LPCSTR path, VfapiHandle* handle) {
    if (!path || !handle) return kVfapiError;
    *handle = 0;
    // FFmpeg's own lines would land among twopass's messages, which already
    // say what could not be opened or read.
    av_log_set_level(AV_LOG_QUIET);
    auto* reader = new (std::nothrow) Reader;
    if (!reader) return kVfapiOutOfMemory;
    bool ok = false;
    try {
        ok = open_reader(path, *reader);
    } catch (const std::bad_alloc&) {
        reader->out_of_memory = true;
    }
    if (!ok) {
        const HRESULT failure = failure_of(*reader);
        reader_free(reader);
        return failure;
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
        auto* audio = static_cast<VfapiAudioInfo*>(info);
        if (!reader->has_audio || audio->dwSize < sizeof(VfapiAudioInfo)) return kVfapiError;
        reader->out_of_memory = false;
        const ReaderAudio* decoding = audio_of(*reader);
        if (!decoding) return failure_of(*reader);
        const auto samples = static_cast<uint64_t>(reader_audio_length(decoding));
        const auto channels = static_cast<DWORD>(reader_audio_channels(decoding));
        audio->dwLengthL = static_cast<DWORD>(samples);
        audio->dwLengthH = static_cast<DWORD>(samples >> 32);
        audio->dwRate = static_cast<DWORD>(reader_audio_rate(decoding));
        audio->dwScale = 1;
        audio->dwChannels = channels;
        audio->dwBitsPerSample = 16;
        audio->dwBlockAlign = channels * 2;
        return kVfapiOk;
    }
    return kVfapiError;
}

// Samples from the request's position on, fewer at the end of the stream.
HRESULT read_audio(Reader& reader, VfapiAudioRead& request) {
    if (!reader.has_audio || request.dwSize < sizeof(VfapiAudioRead) || !request.lpBuf) return kVfapiError;
    reader.out_of_memory = false;
    ReaderAudio* decoding = audio_of(reader);
    if (!decoding) return failure_of(reader);
    request.dwReadedSampleCount = 0;
    const DWORD block = static_cast<DWORD>(reader_audio_channels(decoding)) * 2;
    const DWORD count = std::min<DWORD>(request.dwSampleCount, request.dwBufSize / block);
    const uint64_t position = (static_cast<uint64_t>(request.dwSamplePosH) << 32) | request.dwSamplePosL;
    if (position > static_cast<uint64_t>(INT64_MAX)) return kVfapiOk;  // past any end
    bool out_of_memory = false;
    const int64_t got =
        reader_audio_read(decoding, static_cast<int64_t>(position), count, request.lpBuf, out_of_memory);
    if (got < 0) return out_of_memory ? kVfapiOutOfMemory : kVfapiError;
    request.dwReadedSampleCount = static_cast<DWORD>(got);
    return kVfapiOk;
}

HRESULT WINAPI read_data(VfapiHandle handle, DWORD stream_kind, void* data) {
    Reader* reader = reader_of(handle);
    if (reader && data && stream_kind == kVfapiStreamAudio)
        return read_audio(*reader, *static_cast<VfapiAudioRead*>(data));
    auto* request = static_cast<VfapiVideoRead*>(data);
    if (!reader || !reader->stream || stream_kind != kVfapiStreamVideo || !request ||
        request->dwSize < sizeof(VfapiVideoRead) || !request->lpData)
        return kVfapiError;
    reader->out_of_memory = false;
    const uint64_t number = (static_cast<uint64_t>(request->dwFrameNumberH) << 32) | request->dwFrameNumberL;
    if (number >= reader->frame_count) return kVfapiError;
    // A picture shown for more than one frame is decoded once.
    const int64_t picture = picture_of(*reader, static_cast<int64_t>(number));
    if (picture != reader->shown) {
        reader->shown = -1;
        if (!fetch_frame(*reader, picture)) return failure_of(*reader);
        reader->shown = picture;
    }

    // Through a picture of ours, copied row by row into the caller's rows:
    // libswscale writes past the end of its rows at some sizes, and the
    // caller's frame holds exactly the picture. A turned picture goes
    // through one more of ours, decoded as it is stored.
    const PixelsRows rows{static_cast<uint8_t*>(request->lpData), static_cast<std::ptrdiff_t>(request->lPitch)};
    PixelsResult result = PixelsResult::ok;
    if (reader->upright.empty()) {
        result = pixels_to_bgr(reader->convert, reader->frame, rows, reader->width, reader->height, SWS_BICUBIC,
                               PixelsWrite::staged);
    } else {
        const std::ptrdiff_t pitch = static_cast<std::ptrdiff_t>(reader->decoded_width) * 3;
        result = pixels_to_bgr(reader->convert, reader->frame, PixelsRows{reader->upright.data(), pitch},
                               reader->decoded_width, reader->decoded_height, SWS_BICUBIC, PixelsWrite::staged);
        if (result == PixelsResult::ok)
            orientation_copy(reader->orientation, reader->upright.data(), pitch, reader->decoded_width,
                             reader->decoded_height, rows.top, rows.down);
    }
    if (result == PixelsResult::no_memory) return kVfapiOutOfMemory;
    return result == PixelsResult::ok ? kVfapiOk : kVfapiError;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT WINAPI vfGetPluginInfo(VfapiPluginInfo* info) {
    if (!info || info->dwSize < sizeof(VfapiPluginInfo)) return kVfapiError;
    info->dwAPIVersion = 1;
    info->dwVersion = 1;
    info->dwSupportStreamType = kVfapiHasVideo | kVfapiHasAudio;
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
