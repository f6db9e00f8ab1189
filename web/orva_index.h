// orva_index.h: the answer to "/".
#pragma once

struct MHD_Connection;

// Caller holds the service lock (the application title).
int orvaCGIIndex(MHD_Connection* connection);
