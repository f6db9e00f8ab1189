// orva_index.cpp: the answer to "/". The browser page that manages channels
// is not part of this version; until it is, "/" says where the server's
// requests are, so an operator who logged in sees the login worked.
#include "orva_index.h"

#include <memory>

#include "engine/orva_text.h"
#include "orva_web.h"
#include "service/orva_channel_ctl.h"

int orvaCGIIndex(MHD_Connection* connection) {
    auto work = std::make_unique_for_overwrite<char[]>(ORVA_WEB_WORK_SIZE);
    TextCursor page(work.get(), ORVA_WEB_WORK_SIZE);
    appendf(page, "<html>\n<head>\n<title>%s</title>\n</head>\n<body>\n", orvaAppTitle());
    appendf(page, "<h2>%s</h2>\n", orvaAppTitle());
    append(page,
           "<p>You are logged in. This version has no channel management page yet.</p>\n"
           "<ul>\n"
           "<li><a href=\"/status\">/status</a>: the state of every channel (XML)</li>\n"
           "<li>/channel1 to /channel64: one channel's settings; ?start, ?stop, ?remove</li>\n"
           "<li><a href=\"/orval.conf\">/orval.conf</a>: download the configuration file</li>\n"
           "</ul>\n"
           "<form action=\"import\" method=\"post\" enctype=\"multipart/form-data\">\n"
           " <input type=\"file\" name=\"file\">\n"
           " <input type=\"submit\" value=\"Import configuration\">\n"
           "</form>\n</body>\n</html>");
    return orvaReplyText(connection, page.begin, page.length(), "text/html", false);
}
