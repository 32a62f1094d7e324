// The host's UTF-16 texts and the engine's UTF-8 ones.
#pragma once

#include <string>
#include <string_view>

#include "plugin2/auo2_abi.h"

// Appends text (null-terminated) as UTF-8. 0, with out as it was, when text is
// null or holds a lone surrogate: no file name of ours is made up of it.
int text16_to_utf8(Auo2Text text, std::string& out);
// Valid UTF-8 as UTF-16; a byte that starts no valid sequence gives U+FFFD.
std::u16string text16_from_utf8(std::string_view text);
