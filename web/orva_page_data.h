// orva_page_data.h: the management page's files, compiled into the service
// from web/page/ at build time (web/page/embed.cmake). Each is a
// NUL-terminated text.
#pragma once

// index.html: the page with @@NAME@@ marks where the server's pieces go.
extern const char g_szHtmlTemplate[];
extern const char g_szHtmlCSS[];
// page.js: the table, the channel panel and its buttons.
extern const char g_szHtmlJS1[];
// boxes.js: the pop-up boxes.
extern const char g_szHtmlJS2[];
// manual.html: the online manual, a page of its own.
extern const char g_szManualHtml[];
