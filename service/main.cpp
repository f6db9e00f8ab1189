// main.cpp: the orval service program: the service with its management server.
#include "service/orva_service.h"
#include "web/orva_http.h"

int main() { return orvaServiceMain({orvaStartCGI, orvaStopCGI, orvaCGISecure}); }
