// orva_files.cpp: the branding logo, the configuration download and import.
//
// An upload is read into a table of its own: the reader picks the
// configuration lines out of the multipart text. That table is saved clean
// first, and only once the file holds it does it replace the running one; a
// failed save changes nothing. The channels of the old table are stopped
// first and those of the new one started, so no transcoder is left running
// outside the table.
#include "orva_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "config/orva_config.h"
#include "engine/orva.h"
#include "engine/orva_service_log.h"
#include "engine/orva_text.h"
#include "orva_revision.h"
#include "orva_web.h"
#include "service/orva_save.h"
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

// The settings and the table an upload holds, before they are saved and put
// in place of the running ones; too large for a connection thread's stack.
struct UploadedTable {
    ORVA_GLOBAL_SETTINGS settings{};
    ORVA_CHANNEL_TAG channels[ORVA_CHANNEL_COUNT];
    ORVA_CHANNEL_CONTINUITY_TAG continuity[ORVA_CHANNEL_COUNT];
};

OrvaConfigRecords recordsOf(const UploadedTable& uploaded) {
    OrvaConfigRecords records = orvaLiveConfigRecords();
    records.settings = &uploaded.settings;
    for (int index = 0; index < ORVA_CHANNEL_COUNT; index++) {
        records.channels[index] = &uploaded.channels[index];
        records.continuity[index] = &uploaded.continuity[index];
    }
    return records;
}

}  // namespace

int orvaCGIOEMLogo(MHD_Connection* connection) {
    return replyFile(connection, oemLogoPath(), "image/png", true);
}

int orvaCGIDownload(MHD_Connection* connection) {
    return replyFile(connection, orvaGetConfigFile(), "application/octet-stream", false);
}

int orvaCGIImport(const char* body, MHD_Connection* connection,
                  std::unique_lock<std::mutex>& serviceLock) {
    // Without a configuration path nothing is ever saved (the program's
    // path could not be read), so an import has nowhere to go.
    if (!orvaGetConfigFile()[0])
        return orvaReplyRedirect(connection, nullptr);
    // A script pushing one file to many boxes must tell a refusal from a
    // success, and an upload without a single configuration line would
    // replace every channel and setting with defaults.
    if (!body || !body[0])
        return orvaReplyReason(connection, ORVA_HTTP_BAD_REQUEST,
                               "Nothing was uploaded: nothing was imported");
    serviceLock.unlock();  // the upload is read apart from the running table
    auto uploaded = std::make_unique<UploadedTable>();
    const bool usable = orvaHoldsConfiguration(body);
    int read = usable ? orvaReadConfigText(body, uploaded->settings, uploaded->channels,
                                           uploaded->continuity)
                      : 0;
    serviceLock.lock();
    if (!usable)
        return orvaReplyReason(connection, ORVA_HTTP_BAD_REQUEST,
                               "The upload holds no configuration line: nothing was imported");
    if (read < 0)
        return orvaReplyReason(connection, kInternalError,
                               "The upload cannot be read as a configuration: nothing was imported");
    // The file is written clean, without the upload's multipart lines, and
    // the running table is replaced only once it holds the upload; then every
    // record may be another.
    OrvaChange change{
        [&](std::string& text) { return orvaComposeConfigText(text, recordsOf(*uploaded)); },
        [&] {
            orvaInstallTable(uploaded->settings, uploaded->channels, uploaded->continuity);
            orvaBumpAllRevisions();
        }};
    if (orvaSaveChange(serviceLock, change) != 0) {
        orvaServiceLog("importing a configuration failed: nothing was changed");
        return orvaReplyReason(connection, kInternalError,
                               "The configuration file could not be saved: nothing was imported");
    }
    return orvaReplyRedirect(connection, nullptr);
}
