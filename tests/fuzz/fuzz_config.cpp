// The configuration reader on any file: whatever it reads, a save reads back
// to the same table and saves to the same bytes.
#include <cstring>
#include <string>

#include "config/orva_config.h"
#include "fuzz_support.h"

namespace {

std::string save(const std::string& path) {
    if (orvaExportConfig(path.c_str()) != 0)
        fuzzFail("the configuration could not be saved");
    return fuzzReadFile(path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string input = fuzzScratchFolder() + "/input.conf";
    static const std::string first = fuzzScratchFolder() + "/first.conf";
    static const std::string second = fuzzScratchFolder() + "/second.conf";
    fuzzWriteFile(input, std::string_view(reinterpret_cast<const char*>(data), size));

    orvaSetConfigFile(input.c_str());
    const int channels = orvaImportConfig();
    const std::string firstSave = save(first);

    orvaSetConfigFile(first.c_str());
    if (orvaImportConfig() != channels)
        fuzzFail("the saved file holds another number of channels");
    if (save(second) != firstSave)
        fuzzFail("a saved file does not save to the same bytes");
    return 0;
}
