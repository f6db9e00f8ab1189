// orva_index.h: the management page, the answer to "/".
#pragma once

#include <string>

struct MHD_Connection;

// The whole page as sent: the page's files with the server's pieces in place.
// Caller holds the service lock (the channel table and the settings).
std::string orvaComposeIndex();
// 200, "text/html", no-cache.
int orvaCGIIndex(MHD_Connection* connection);
