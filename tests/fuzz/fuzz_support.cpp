// fuzz_support.cpp: scratch files for the harnesses.
#include "fuzz_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

const std::string& fuzzScratchFolder() {
    static const std::string folder = [] {
        struct stat st;
        std::string pattern = (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) ? "/dev/shm" : "/tmp";
        pattern += "/orval-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data()))
            fuzzFail("cannot make a scratch folder");
        return pattern;
    }();
    return folder;
}

void fuzzWriteFile(const std::string& path, std::string_view bytes) {
    FILE* f = fopen(path.c_str(), "we");
    if (!f)
        fuzzFail("cannot write a scratch file");
    if (fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
        fuzzFail("cannot write a scratch file");
    fclose(f);
}

std::string fuzzReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void fuzzFail(const char* what) {
    fprintf(stderr, "fuzz finding: %s\n", what);
    abort();
}
