// orva_http.h: the management web server.
#pragma once

int orvaStartCGI();
void orvaStopCGI();
