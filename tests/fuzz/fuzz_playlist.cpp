// The playlist file on any bytes: whatever it loads, and a folder scan adds
// to, saves to a file that loads to the same list and position and saves to
// the same bytes.
#include <sys/stat.h>

#include <string>

#include "fuzz_support.h"
#include "playlist/orva_playlist.h"

namespace {

struct Loaded {
    int count;
    std::string current;
    bool operator==(const Loaded&) const = default;
};

Loaded state(const CPlayList& list) {
    const char* current = list.GetCurFile();
    return {list.GetCount(), current ? current : "(none)"};
}

// A folder with one file, so a scan finds something and the list is saved.
const std::string& mediaFolder() {
    static const std::string folder = [] {
        std::string path = fuzzScratchFolder() + "/media";
        mkdir(path.c_str(), 0700);
        fuzzWriteFile(path + "/clip.ts", "");
        return path;
    }();
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string input = fuzzScratchFolder() + "/input.pls";
    fuzzWriteFile(input, std::string_view(reinterpret_cast<const char*>(data), size));

    Loaded built;
    {
        CPlayList list;
        list.init(input.c_str());
        if (list.build(mediaFolder().c_str(), 0, 0, 0) == 0)
            fuzzFail("the scan of the media folder found nothing");
        built = state(list);
        // The build has saved the list; without a path the destructor does not
        // write the same bytes again (each save is a file made, synced, renamed).
        list.init(nullptr);
    }
    const std::string saved = fuzzReadFile(input);

    CPlayList again;
    again.init(input.c_str());
    if (!(state(again) == built))
        fuzzFail("a saved playlist loads to another list or position");
    again.build(mediaFolder().c_str(), 0, 0, 0);
    if (fuzzReadFile(input) != saved)
        fuzzFail("a saved playlist does not save to the same bytes");
    again.init(nullptr);
    return 0;
}
