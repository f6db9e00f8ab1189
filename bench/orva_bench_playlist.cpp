// orva_bench_playlist: how long a folder rescan takes. A folder channel that
// has played its last file (without wrap) rescans its folder on every pass of
// the supervision loop, under the service lock, until a new file appears.
//
//   orva_bench_playlist [files ...]     (default: 100 1000 10000)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "playlist/orva_playlist.h"

namespace {

std::string makeFolder(int files) {
    char pattern[] = "/tmp/orva-bench-playlist-XXXXXX";
    std::string folder = mkdtemp(pattern);
    for (int k = 0; k < files; k++) {
        std::string path = folder + "/clip" + std::to_string(k) + ".ts";
        close(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    }
    return folder;
}

double millisecondsPer(int rounds, CPlayList& playlist) {
    auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; r++)
        playlist.refresh();
    std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / rounds;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int k = 1; k < argc; k++)
        sizes.push_back(atoi(argv[k]));
    if (sizes.empty())
        sizes = {100, 1000, 10000};
    printf("%8s %14s %14s %16s\n", "files", "build ms", "rescan ms", "rescan/pass %");
    for (int files : sizes) {
        std::string folder = makeFolder(files);
        CPlayList playlist;
        auto start = std::chrono::steady_clock::now();
        playlist.build(folder.c_str(), 0, 0, 1);
        std::chrono::duration<double, std::milli> built = std::chrono::steady_clock::now() - start;
        int rounds = files >= 10000 ? 5 : 50;
        double rescan = millisecondsPer(rounds, playlist);
        // A pass of the supervision loop comes every 20 ms.
        printf("%8d %14.2f %14.3f %16.1f\n", files, built.count(), rescan, rescan / 20.0 * 100.0);
        std::filesystem::remove_all(folder);
    }
    return 0;
}
