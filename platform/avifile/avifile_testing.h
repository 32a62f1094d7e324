// Hooks for tests of the AVI writer and reader; not part of the API, and
// built only into test builds (TWOPASS_TEST_HOOKS).
#pragma once

#ifndef TWOPASS_TEST_HOOKS
#error "avifile_testing.h is for test builds, which define TWOPASS_TEST_HOOKS"
#endif

#include <cstdint>

// Size at which a file being written closes its RIFF and continues in a new
// 'AVIX' part. Applies to files opened for writing afterwards; 0 restores the
// default (just under 1 GiB).
void avifile_set_riff_limit(std::uint64_t bytes);

#include "platform/avifile/avifile.h"

// The frames of a video stream opened for reading, as its index (or a scan)
// gives them: the count, and each frame's stored size and key flag.
LONG avifile_frame_count(PAVISTREAM stream);
int avifile_frame_entry(PAVISTREAM stream, LONG frame, std::uint32_t* size, int* key);

// Bytes that files opened for writing afterwards may grow to, as a full disk
// or a file-size limit would allow: a write crossing it writes what fits and
// fails. 0 removes the limit.
void avifile_set_write_limit(std::uint64_t bytes);
