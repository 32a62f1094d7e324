// Hooks for tests of the AVI writer; not part of the API.
#pragma once

#include <cstdint>

// Size at which a file being written closes its RIFF and continues in a new
// 'AVIX' part. Applies to files opened for writing afterwards; 0 restores the
// default (just under 1 GiB).
void avifile_set_riff_limit(std::uint64_t bytes);
