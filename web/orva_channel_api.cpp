// orva_channel_api.cpp: the status and channel endpoints (not built yet).
#include "orva_channel_api.h"

#include "orva_web.h"

int orvaCGIStatus(MHD_Connection* connection) { return orvaReplyEmpty(connection, 404); }

int orvaCGIChannel(int, const char*, const char*, MHD_Connection* connection) {
    return orvaReplyEmpty(connection, 404);
}

int orvaCGIGetChannel(int, MHD_Connection* connection) { return orvaReplyEmpty(connection, 404); }

void _xmlEscape(char*) {}
