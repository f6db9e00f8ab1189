// orva_device_api.cpp: the "/decklink_config" and "/ndi_config" endpoints:
// each runs its device search and answers the list as JSON.
//
// A search takes seconds and touches neither the channels nor the settings,
// so these run without the service lock, on a thread of their own while the
// other requests go on. A list that is empty because the driver library is
// missing says so in its "error", so the page can tell "not installed" from
// "nothing connected".
#include <algorithm>
#include <charconv>
#include <climits>
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
constexpr int kLongestNdiSeconds = kOrvaLongestNdiSeconds;

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
    // Beyond a long: the nearest end of its range, so a huge timeout is the
    // longest search, not the shortest.
    if (result.ec == std::errc::result_out_of_range)
        return value.starts_with('-') ? LONG_MIN : LONG_MAX;
    return result.ec == std::errc() ? number : fallback;
}

std::string_view deckLinkError() {
    return IsDeckLinkAPIPresent() ? "DeckLink driver not working" : "DeckLink driver not installed";
}

std::string_view ndiError() {
    return orvaNDIRuntimeFound() ? "NDI runtime not working" : "NDI runtime not found";
}

}  // namespace

int orvaCGIDecklinkConfig(const char* arguments, MHD_Connection* connection) {
    int output = argumentNumber(arguments, "output", 0) != 0 ? 1 : 0;
    return orvaReplyJsonLater(connection, [output] {
        // Large records: on the heap, cleared as the search expects.
        auto cards = std::make_unique<ORVA_DECKLINKS>();
        if (orvaEnumBMD(output, cards.get()) == 0)
            return orvaComposeDecklinks(*cards);
        cards->count = 0;  // a failed search lists nothing
        return orvaComposeDecklinks(*cards, deckLinkError());
    });
}

int orvaCGINDIConfig(const char* arguments, MHD_Connection* connection) {
    long asked = argumentNumber(arguments, "timeout", kDefaultNdiSeconds);
    int seconds = static_cast<int>(std::clamp<long>(asked, kShortestNdiSeconds, kLongestNdiSeconds));
    return orvaReplyJsonLater(connection, [seconds] {
        auto sources = std::make_unique<ORVA_NDI>();
        int rc = orvaEnumNDI(sources.get(), seconds);
        if (rc == 0)
            return orvaComposeNdiSources(*sources);
        // A cancelled search's client is answered by the stop, not with this.
        sources->count = 0;
        return orvaComposeNdiSources(*sources, rc == -1 ? ndiError() : "NDI search cancelled");
    });
}
