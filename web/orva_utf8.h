// orva_utf8.h: well-formed UTF-8, as browsers send it and as the documents
// must carry it.
#pragma once

#include <cstddef>
#include <string_view>

// The length (1 to 4) of the well-formed UTF-8 sequence that begins `text`,
// or 0 when its first bytes form none: a stray continuation byte, a cut
// sequence, an overlong form, a surrogate or a code point above U+10FFFF.
size_t orvaUtf8SequenceLength(std::string_view text);

bool orvaIsValidUtf8(std::string_view text);
