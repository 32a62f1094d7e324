// One export for the host: the host's frames through the engine into an AVI file.
#pragma once

#include "plugin/plugin_abi.h"

// Clamps the live record, then encodes frames 0 .. frame_count-1, calling the
// host per frame in the order abort test, progress, audio fetch (only with the
// audio setting on and audio in the request: the frame's span, for frame 0 the
// lead and the rest of its span), fetch, preview, key-frame request. Answers 1
// when the run took place (all frames, or stopped by the user, or the host
// gave no frame), 0 when the output can't be opened, the request's audio is
// asked for but is not 16-bit PCM of one or two channels, or a frame or the
// file could not be completed.
int plugin_output(const OutputRequest& request);
