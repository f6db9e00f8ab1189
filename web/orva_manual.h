// orva_manual.h: the online manual, served at "/manual.html".
#pragma once

struct MHD_Connection;

int orvaCGIManual(MHD_Connection* connection);
