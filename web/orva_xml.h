// orva_xml.h: the one escaper of every text in the server's XML documents.
#pragma once

#include <string_view>

#include "engine/orva_text.h"

// Appends `text` as XML character data, fit for element text and attribute
// values alike, and never cuts it: the five markup characters become their
// entities; tab, line feed and carriage return become character references
// (a parser would turn them into blanks inside an attribute); other control
// characters, bytes that are not well-formed UTF-8 and the non-characters
// U+FFFE and U+FFFF become U+FFFD. Any bytes thus give well-formed XML, and
// a text the service accepts reads back unchanged. Only the cursor's end can
// stop it, which sets out.truncated for the caller to refuse the document.
void orvaXmlEscape(TextCursor& out, std::string_view text);

// The older in-place form: `text` lies in a buffer of at least 1006 bytes.
// It stops once 1000 characters are written; a character begun below that
// mark is written whole, so the result holds at most 1005.
void _xmlEscape(char* text);
