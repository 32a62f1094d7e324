// The reader plug-in's audio: one audio stream of a file decoded to 16-bit
// PCM, interleaved, of 1 channel (a mono source) or 2 (any other: more are
// mixed down to stereo by libswresample's standard matrix), at the stream's
// own sample rate, served by sample position.
//
// Position 0 is a time the caller picks (the video's first frame): audio
// that starts later is preceded by silence, audio that starts earlier loses
// what lies before it. A decoded frame's position comes from its time stamp
// only where decoding (re)starts; from there on the frames follow one
// another without gaps, as a plain decode to PCM gives them.
//
// The stream is demuxed on a file context of its own, so that the video's
// reads and seeks never move it; it is opened at the first read, so that a
// caller that only asks about the audio pays nothing for it. Reading position
// p after position p - 1
// decodes on; a position a little ahead is decoded up to; any other seeks,
// or starts again from the top of the file near its start. Memory: the
// decoder's and one decoded frame.
#pragma once

#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

struct ReaderAudio;  // private to reader_audio.cpp

// The audio of stream index of path, which format (the caller's open
// context of path) describes; position 0 lies at time origin in units of
// origin_base. Null when it can't be decoded (no decoder, no known sample
// rate or channel count) or memory ran out (then out_of_memory is set).
ReaderAudio* reader_audio_open(const char* path, const AVFormatContext* format, int index, int64_t origin,
                               AVRational origin_base, bool& out_of_memory);
void reader_audio_close(ReaderAudio* audio);

int reader_audio_rate(const ReaderAudio* audio);
int reader_audio_channels(const ReaderAudio* audio);
// The position at which the stream ends by its duration (the container's
// when the stream has none); 0 when neither is known. An estimate: reads say
// where the samples really end.
int64_t reader_audio_length(const ReaderAudio* audio);

// Writes up to count samples (of all channels; little-endian 16-bit words,
// interleaved) from position into out: how many it wrote, fewer only at the
// end of the stream; -1 when memory ran out (then out_of_memory is set).
int64_t reader_audio_read(ReaderAudio* audio, int64_t position, uint32_t count, void* out, bool& out_of_memory);
