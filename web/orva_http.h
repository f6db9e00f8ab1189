// orva_http.h: the management web server.
#pragma once

// Starts the server on the `HTTPPort` setting. Returns 1 when it listens, 0
// when the library refuses (for example when the port is taken).
int orvaStartCGI();
// Stops the server when it runs. Called once no channel runs any more.
void orvaStopCGI();
// True while the server speaks HTTPS (a certificate and its key were found).
bool orvaCGISecure();
