// orva_device_api.cpp: the "/decklink_config" and "/ndi_config" endpoints:
// each runs its device search and answers the list as JSON.
//
// A search takes seconds and touches neither the channels nor the settings,
// so these run without the service lock, on a thread of their own while the
// other requests go on.
#include <algorithm>
#include <charconv>
#include <memory>
#include <string>
#include <string_view>

#include "devices/orva_devices.h"
#include "orva_form.h"
#include "orva_json.h"
#include "orva_settings.h"
#include "orva_web.h"

namespace {

constexpr int kDefaultNdiSeconds = 5;
// A longer search would hold a connection and a thread for as long as a
// client asks.
constexpr int kShortestNdiSeconds = 1;
constexpr int kLongestNdiSeconds = 60;

// The decimal number that begins the argument's value, as "%d" reads it:
// blanks first, an optional sign, digits, and anything after them ignored.
// `fallback` when the argument is missing or holds no number.
long argumentNumber(const char* arguments, std::string_view name, long fallback) {
    char text[ORVA_WEB_TEXT_SIZE];
    TextCursor out(text, sizeof text);
    if (orvaFormValue(arguments ? arguments : "", name, out) != ORVA_FORM_FOUND)
        return fallback;
    std::string_view value = out.view();
    value.remove_prefix(std::min(value.find_first_not_of(" \t\n\v\f\r"), value.size()));
    if (value.starts_with('+') && !value.starts_with("+-"))
        value.remove_prefix(1);
    long number = 0;
    auto result = std::from_chars(value.data(), value.data() + value.size(), number);
    if (result.ec == std::errc::result_out_of_range)
        return value.starts_with('-') ? -1 : 1;  // only the sign matters to the callers
    return result.ec == std::errc() ? number : fallback;
}

}  // namespace

int orvaCGIDecklinkConfig(const char* arguments, MHD_Connection* connection) {
    int output = argumentNumber(arguments, "output", 0) != 0 ? 1 : 0;
    return orvaReplyJsonLater(connection, [output] {
        // Large records: on the heap, cleared as the search expects.
        auto cards = std::make_unique<ORVA_DECKLINKS>();
        if (orvaEnumBMD(output, cards.get()) != 0)
            cards->count = 0;  // a failed search lists nothing
        return orvaComposeDecklinks(*cards);
    });
}

int orvaCGINDIConfig(const char* arguments, MHD_Connection* connection) {
    long asked = argumentNumber(arguments, "timeout", kDefaultNdiSeconds);
    int seconds = static_cast<int>(std::clamp<long>(asked, kShortestNdiSeconds, kLongestNdiSeconds));
    return orvaReplyJsonLater(connection, [seconds] {
        auto sources = std::make_unique<ORVA_NDI>();
        if (orvaEnumNDI(sources.get(), seconds) != 0)
            sources->count = 0;
        return orvaComposeNdiSources(*sources);
    });
}
