// The access list on any file, for a client address taken from the input's
// first four bytes: the answer is always allow or deny, and a list that
// starts with a line denying everyone denies every client.
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "web/orva_acl.h"

namespace {

int allows(const std::string& list, uint32_t address) {
    FILE* stream = fmemopen(const_cast<char*>(list.data()), list.size(), "r");
    if (!stream)
        fuzzFail("fmemopen failed");
    int verdict = orvaAclAllows(stream, address);
    fclose(stream);
    return verdict;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    uint32_t address;
    memcpy(&address, data, 4);
    const std::string list(reinterpret_cast<const char*>(data) + 4, size - 4);
    int verdict = allows(list + "\n", address);
    if (verdict != 0 && verdict != 1)
        fuzzFail("the access list gave neither allow nor deny");
    if (allows("deny 0.0.0.0/0\n" + list, address) != 0)
        fuzzFail("a first line denying everyone let a client in");
    return 0;
}
