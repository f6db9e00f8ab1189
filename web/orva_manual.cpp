// orva_manual.cpp: the online manual, a page of its own compiled in from
// web/page/manual.html. It reads neither the channels nor the settings.
#include "orva_manual.h"

#include <cstring>

#include "orva_page_data.h"
#include "orva_web.h"

int orvaCGIManual(MHD_Connection* connection) {
    return orvaReplyText(connection, g_szManualHtml, strlen(g_szManualHtml), "text/html", true);
}
