// orva_icons.h: the built-in icons of the management page, compiled into the
// service and served from constant data.
#pragma once

#include <cstdint>

struct MHD_Connection;

struct ORVA_CGI_FILE {
    const char* pszName;          // the file name, without the leading "/"
    int32_t nSize;                // byte count
    const unsigned char* pData;   // PNG bytes, 8-bit RGBA
};

enum { ORVA_CGI_FILE_COUNT = 12 };

// In lookup order.
extern const ORVA_CGI_FILE g_cgiFiles[ORVA_CGI_FILE_COUNT];

// The row whose name equals `name` without regard to case, or null.
const ORVA_CGI_FILE* orvaFindIcon(const char* name);
// Replies with the icon named by `url` ("/" + name); 404 when there is none.
int orvaCGIIcon(const char* url, MHD_Connection* connection);
