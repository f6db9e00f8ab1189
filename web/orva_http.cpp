// orva_http.cpp: the management web server.
//
// The server is not built yet: starting it succeeds without listening, so the
// service runs its channels without a management interface.
#include "orva_http.h"

int orvaStartCGI() { return 1; }

void orvaStopCGI() {}
