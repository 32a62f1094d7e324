// The host's audio as an export takes it: one 16-bit PCM stream of one or two
// channels, fetched in the spans of the frames it goes with and handed to the
// session at once (a host's buffer lasts only until its next call). Both
// plug-ins use it; each gives its own way of fetching.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/session.h"

// Samples start .. start+length-1 of the host's 16-bit PCM, *read of them
// there; context is what the plug-in put in HostAudio::context.
using HostAudioFetch = const void* (*)(void* context, int start, int length, int* read);

struct HostAudio {
    int on = 0;
    int stream = -1;              // the session's stream
    AVISTREAMINFOA info{};        // the PCM stream's, for the frame spans
    uint32_t block = 0;           // bytes of one sample of all channels
    int64_t count = 0;            // samples the host has
    int64_t done = 0;             // samples handed to the session so far
    std::vector<uint8_t> padded;  // a short fetch and its silence; only grows
    HostAudioFetch fetch = nullptr;
    void* context = nullptr;
};

// Whether the host's audio can be kept as it comes: 16-bit PCM of one or two
// channels at a positive rate (anything else would be written wrong, and a
// silent file would pass for the export asked).
bool host_audio_acceptable(int32_t sample_rate, int32_t channels);

// Adds the session's audio stream for the host's rate, channels and count of
// samples: PCM (setting kPluginAudioPcm) or MP3 at the setting's rate rounded
// for the sample rate. 0 when the session refused it.
int host_audio_open(HostAudio& audio, EncodeSession& session, int32_t sample_rate, int32_t channels,
                    int32_t sample_count, int32_t setting);

// The audio that goes with frame n of frame_count: for frame 0 the lead and
// then the rest of its span, as two chunks; for every later frame its own
// span. A short fetch is made up with silence. 0 when memory ran out.
int host_audio_queue_frame(HostAudio& audio, EncodeSession& session, const AVISTREAMINFOA& video,
                           int32_t frame_count, int32_t n);
