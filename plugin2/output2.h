// One export for the 64-bit editor: its frames and audio through the
// engine's encode session into an AVI file.
#pragma once

#include "plugin2/auo2_abi.h"
#include "plugin2/settings_file.h"

// Frames the plug-in asks the host to buffer (it renders half of them ahead
// while a frame is compressed), and audio blocks.
inline constexpr int kAuo2VideoBuffers = 8;
inline constexpr int kAuo2AudioBuffers = 16;

// Clamps the live record, then encodes frames 0 .. frame_count-1, calling the
// host per frame in the order abort test, progress, audio fetch (only with
// the audio setting on and audio in the request: 16-bit PCM of the frame's
// span, for frame 0 the lead and the rest of its span), frame fetch (a
// 24-bit DIB, rows as packed_rows says); once before the first, the
// read-ahead request. true when the export took place (all frames, stopped
// by the user, or the host gave no frame); false, with the reason in the
// host's log, when the request has no video, its audio can't be kept, the
// output can't be opened, or a frame or the file could not be completed.
bool auo2_output(const Auo2Request& request, PluginConfig& live, int32_t packed_rows);
