// One export for the host: the host's frames through the engine into an AVI file.
#pragma once

#include "plugin/plugin_abi.h"

// Clamps the live record, then encodes frames 0 .. frame_count-1, calling the
// host per frame in the order abort test, progress, fetch, preview, key-frame
// request. Answers 1 when the run took place (all frames, or stopped by the
// user, or the host gave no frame), 0 when the output can't be opened or
// a frame or the file could not be completed.
int plugin_output(const OutputRequest& request);
