// orva_icons.cpp: finds and serves the built-in icons.
#include "orva_icons.h"

#include <strings.h>

#include "orva_web.h"

const ORVA_CGI_FILE* orvaFindIcon(const char* name) {
    for (const ORVA_CGI_FILE& file : g_cgiFiles) {
        if (strcasecmp(file.pszName, name) == 0)
            return &file;
    }
    return nullptr;
}

int orvaCGIIcon(const char* url, MHD_Connection* connection) {
    const ORVA_CGI_FILE* icon = url[0] == '/' ? orvaFindIcon(url + 1) : nullptr;
    if (!icon)
        return orvaReplyEmpty(connection, 404);
    return orvaReplyImage(connection, icon->pData, static_cast<size_t>(icon->nSize));
}
