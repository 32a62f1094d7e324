// The front of twopass: options into EncodeSettings, banner and option summary.
#pragma once

#include <cstdio>

#include "engine/settings.h"

// Fills settings with the console defaults, then applies the options. Returns
// the index of the first argument that is not an option (argc when all are).
// Does not return on -h (exit code 0) or on an invalid option (exit code 1).
int parse_command_line(int argc, char** argv, EncodeSettings& settings);

void print_banner(const char* program_path, FILE* stream);
void print_usage(FILE* stream);

// The part of path after its last directory separator ('\\' or '/'), or the
// whole path when it has none. A separator in the first character is not one.
const char* path_basename(const char* path);

// The codec FourCC for a -v letter, by the codec table; the default codec for any other letter.
DWORD command_line_codec(char letter);
