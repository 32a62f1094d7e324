// The console run: input source, writer, frame loop with progress, Ctrl-C.
#pragma once

#include <cstdint>
#include <cstdio>

#include "console/frame_source.h"
#include "engine/settings.h"

// Converts input_path into output_path. Returns on success; every fatal error
// ends the process with exit code 1 after its message on standard error.
void run_conversion(const char* input_path, const char* output_path, const EncodeSettings& settings);

void format_duration(int32_t seconds, FILE* stream);
void format_size(uint32_t bytes, FILE* stream);
int32_t estimate_rest_seconds(int32_t done, int32_t total, int32_t start);
int path_has_suffix_nocase(const char* path, const char* suffix);
// The source kind that reads input_path: AVI for a ".avi" suffix in any case,
// VFAPI for every other path.
const FrameSourceOps& frame_source_pick(const char* input_path);
