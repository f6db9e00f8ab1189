// orva_index.cpp: the management page, the answer to "/".
//
// DESIGN: the page is web/page/index.html compiled in, with marks of the form
// @@NAME@@ where the server puts its pieces: the title, the style sheet, the
// two scripts, the warning box, the 64 table rows and the access-list path.
// The document is composed into a std::string, so it is complete however long
// the sources and memos in the table are; a mark with no piece stays as written.
#include "orva_index.h"

#include <string>
#include <string_view>

#include "config/orva_channel.h"
#include "engine/orva_text.h"
#include "orva_page_data.h"
#include "orva_revision.h"
#include "orva_web.h"
#include "service/orva_channel_ctl.h"

namespace {

constexpr std::string_view kMark = "@@";

// Shown above the table while the web login is off.
constexpr std::string_view kWarning =
    "<div id=\"warning\"><b>CAUTION!</b> ORVAL web interface is INSECURE! Channel configuration "
    "details and HTTP streams could be<br>\nexposed to unexpected streamers over the internet. "
    "Please set up web login password in Global Settings immediately! Until then, any web "
    "page you visit in this browser can change this service too.</div>\n";

constexpr const char* kStripeOdd = "#6e6e6e";
constexpr const char* kStripeEven = "#646464";

// Text for element content and attribute values alike; every other byte,
// blanks and tabs included, is kept (the cells show white space as it is).
void appendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c; break;
        }
    }
}

// Row N of the table: number, source and memo only for a configured slot;
// the status cell is filled by the page's polling.
void appendRow(std::string& out, int index) {
    int number = index + 1;
    // The revision the row's texts belong to, so the page knows when to read them again.
    out += "<tr id=\"row" + std::to_string(number) + "\" data-rev=\"" +
           std::to_string(orvaChannelRevision(index)) + "\" style=\"background-color:";
    out += number % 2 ? kStripeOdd : kStripeEven;
    out += "\"><td class=\"num\">";
    if (isChannelValid(index)) {
        const ORVA_CHANNEL_TAG& ch = g_orvaChannels[index];
        out += std::to_string(number);
        out += "</td><td class=\"src\">";
        appendEscaped(out, fieldText(ch.Sources[0].File));
        out += "</td><td class=\"memo\">";
        appendEscaped(out, fieldText(ch.Memo));
    } else {
        out += "</td><td class=\"src\"></td><td class=\"memo\">";
    }
    out += "</td><td class=\"status\"></td></tr>\n";
}

void appendPiece(std::string& out, std::string_view name) {
    if (name == "TITLE") {
        appendEscaped(out, orvaAppTitle());
    } else if (name == "STYLE") {
        out += g_szHtmlCSS;
    } else if (name == "SCRIPT1") {
        out += g_szHtmlJS1;
    } else if (name == "SCRIPT2") {
        out += g_szHtmlJS2;
    } else if (name == "WARNING") {
        if (g_globalSettings.LoginPass[0] == '\0')
            out += kWarning;
    } else if (name == "ROWS") {
        for (int index = 0; index < ORVA_CHANNEL_COUNT; index++)
            appendRow(out, index);
    } else if (name == "ACLFILE") {
        appendEscaped(out, fieldText(g_globalSettings.AclFile));
    } else {
        out += kMark;
        out += name;
        out += kMark;
    }
}

}  // namespace

std::string orvaComposeIndex() {
    std::string_view page = g_szHtmlTemplate;
    std::string out;
    out.reserve(page.size() + 64 * 200);
    while (!page.empty()) {
        size_t open = page.find(kMark);
        size_t close = open == page.npos ? page.npos : page.find(kMark, open + kMark.size());
        if (close == page.npos) {
            out += page;
            break;
        }
        out += page.substr(0, open);
        appendPiece(out, page.substr(open + kMark.size(), close - open - kMark.size()));
        page.remove_prefix(close + kMark.size());
    }
    return out;
}

int orvaCGIIndex(MHD_Connection* connection) {
    std::string page = orvaComposeIndex();
    return orvaReplyText(connection, page.data(), page.size(), "text/html", true);
}
