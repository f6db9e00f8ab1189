// orva_files.h: the replies that carry whole files: the branding logo, the
// configuration download and the configuration import.
#pragma once

#include <mutex>

struct MHD_Connection;

// "orvaoem.png" from the program folder, with the icons' headers; 404 when it
// is missing, empty or larger than 999,999 bytes.
int orvaCGIOEMLogo(MHD_Connection* connection);
// The configuration file as it lies on disk, under the same size rule.
// Caller holds the service lock.
int orvaCGIDownload(MHD_Connection* connection);
// Takes an uploaded configuration (the whole multipart text), saves it and
// puts it in place, then redirects to "/"; 400 with the reason and nothing
// changed for an empty upload or one without any configuration line, 500
// when it cannot be saved. `serviceLock` is held on entry and on return, released
// while the upload is read and written.
int orvaCGIImport(const char* body, MHD_Connection* connection,
                  std::unique_lock<std::mutex>& serviceLock);
