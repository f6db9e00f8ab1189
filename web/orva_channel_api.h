// orva_channel_api.h: the status and channel endpoints.
#pragma once

#include "orva_xml.h"  // _xmlEscape

struct MHD_Connection;

int orvaCGIStatus(MHD_Connection* connection);
// `channel` is the 1-based number from the path; `arguments` the query text;
// `body` the POST body, or null for a GET.
int orvaCGIChannel(int channel, const char* arguments, const char* body,
                   MHD_Connection* connection);
int orvaCGIGetChannel(int index, MHD_Connection* connection);
