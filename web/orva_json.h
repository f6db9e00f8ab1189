// orva_json.h: the JSON texts of the management server: the one string
// escaper, locale-free numbers and the two device lists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct ORVA_DECKLINKS;
struct ORVA_NDI;

// Appends `text` as the inside of a JSON string: the quotation mark and the
// backslash are escaped, control characters become \u00XX, well-formed UTF-8
// passes as it is and each byte that is not becomes U+FFFD. Any bytes thus
// give a valid JSON string, and a text the service accepts reads back unchanged.
void orvaJsonEscape(std::string& out, std::string_view text);

// A decimal integer with "-" and digits only, whatever the process locale.
void orvaJsonNumber(std::string& out, int64_t value);

// The DeckLink cards with their display modes, and the NDI sources, as the
// page's dialogs read them. A count or mode count beyond its record's room
// is taken as the room; nothing is ever cut. A non-empty `error` (why the
// list is empty: no driver, no runtime) follows the list as "error".
std::string orvaComposeDecklinks(const ORVA_DECKLINKS& cards, std::string_view error = {});
std::string orvaComposeNdiSources(const ORVA_NDI& sources, std::string_view error = {});
