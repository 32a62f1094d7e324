// The host's log, when InitializeLogger gave one: where vnt.auo2's errors and
// warnings go ("ERROR - ...", "WARNING - ...", as the console prints them).
#pragma once

#include <string_view>

#include "plugin2/auo2_abi.h"

// The handle to keep for the module's life; null forgets it.
void auo2_logger_set(Auo2Logger* logger);
// A message in UTF-8 at the error or the warning level; nothing without a
// log. Held to the host's most characters.
void auo2_log_error(std::string_view message);
void auo2_log_warning(std::string_view message);
