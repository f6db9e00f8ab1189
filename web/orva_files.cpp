// orva_files.cpp: the branding logo, the configuration download and import.
//
// An upload replaces the configuration file whole, through a temporary file,
// before it is imported; a failed write leaves the old file in place and
// imports nothing. The import picks the configuration lines out of the
// multipart text, and the save that follows rewrites the file clean. The
// channels of the old table are stopped first and those of the new one
// started, so no transcoder is left running outside the table.
#include "orva_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "config/orva_atomic_file.h"
#include "config/orva_config.h"
#include "engine/orva.h"
#include "engine/orva_service_log.h"
#include "engine/orva_text.h"
#include "orva_revision.h"
#include "orva_web.h"
#include "service/orva_service.h"

namespace {

constexpr unsigned kInternalError = 500;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};

struct WholeFile {
    OrvaHeapBlock block;
    size_t size = 0;
};

// The file read into a block from malloc; an empty block when it cannot be
// opened, is empty, or is larger than the largest reply of a file.
WholeFile readWholeFile(const char* path) {
    std::unique_ptr<FILE, FileCloser> file(fopen(path, "re"));
    if (!file || fseek(file.get(), 0, SEEK_END) != 0)
        return {};
    long size = ftell(file.get());
    if (size <= 0 || size > ORVA_WEB_FILE_MAX || fseek(file.get(), 0, SEEK_SET) != 0)
        return {};
    WholeFile whole{OrvaHeapBlock(static_cast<char*>(malloc(static_cast<size_t>(size)))), 0};
    if (!whole.block)
        return {};
    whole.size = fread(whole.block.get(), 1, static_cast<size_t>(size), file.get());
    if (whole.size == 0)
        return {};
    return whole;
}

// "%s%sorvaoem.png" with the program folder and "/"; formed once. Empty when
// it would not fit, since a cut path would name another file.
const char* oemLogoPath() {
    static char szfnOEMLogo[200];
    static std::once_flag formed;
    std::call_once(formed, [] {
        TextCursor path(szfnOEMLogo, sizeof szfnOEMLogo);
        appendf(path, "%s%sorvaoem.png", orvaGetProgDir(), "/");
        if (path.truncated)
            szfnOEMLogo[0] = '\0';
    });
    return szfnOEMLogo;
}

int replyFile(MHD_Connection* connection, const char* path, const char* contentType,
              bool expires) {
    WholeFile whole = path[0] ? readWholeFile(path) : WholeFile{};
    if (!whole.block)
        return orvaReplyEmpty(connection, ORVA_HTTP_NOT_FOUND);
    return orvaReplyBlock(connection, std::move(whole.block), whole.size, contentType, expires);
}

// Returns 0 once the upload has replaced the configuration file.
int storeUpload(const char* path, const char* body) {
    errno = 0;
    AtomicFile file(path);
    if (!file.stream() || fwrite(body, 1, strlen(body), file.stream()) != strlen(body))
        return -1;
    return file.commit();
}

}  // namespace

int orvaCGIOEMLogo(MHD_Connection* connection) {
    return replyFile(connection, oemLogoPath(), "image/png", true);
}

int orvaCGIDownload(MHD_Connection* connection) {
    return replyFile(connection, orvaGetConfigFile(), "application/octet-stream", false);
}

int orvaCGIImport(const char* body, MHD_Connection* connection) {
    const char* path = orvaGetConfigFile();
    // Without a body there is nothing to import, and the file stays as it is.
    if (!body || !body[0] || !path[0])
        return orvaReplyRedirect(connection, nullptr);
    if (storeUpload(path, body) != 0) {
        const char* why = errno ? strerror(errno) : "write error";
        orvaServiceLog("importing a configuration failed: %s cannot be replaced: %s", path, why);
        std::string reason = std::string("The configuration file cannot be replaced (") + why +
                             "); nothing was imported";
        return orvaReplyReason(connection, kInternalError, reason.c_str());
    }
    int imported = orvaReplaceTableFromFile();
    // Every record may now be another.
    orvaBumpAllRevisions();
    if (imported < 0)
        return orvaReplyReason(connection, kInternalError,
                               "The configuration was imported but could not be saved: it holds "
                               "until the service restarts");
    return orvaReplyRedirect(connection, nullptr);
}
