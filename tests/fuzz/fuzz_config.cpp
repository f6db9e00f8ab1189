// The configuration reader on any text: whatever it reads, a save reads back
// to the same table and saves to the same bytes. The reader and writer run
// over memory here; the file entry points share every line of that code and
// only add the opening, the temporary file and the rename.
#include <string>
#include <string_view>

#include "config/orva_config.h"
#include "fuzz_support.h"

namespace {

std::string save() {
    std::string text;
    if (orvaExportConfigText(text) != 0)
        fuzzFail("the configuration could not be saved");
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int channels =
        orvaImportConfigText(std::string_view(reinterpret_cast<const char*>(data), size));
    if (channels < 0)
        fuzzFail("the text could not be read");
    const std::string firstSave = save();

    if (orvaImportConfigText(firstSave) != channels)
        fuzzFail("the saved text holds another number of channels");
    if (save() != firstSave)
        fuzzFail("a saved text does not save to the same bytes");
    return 0;
}
