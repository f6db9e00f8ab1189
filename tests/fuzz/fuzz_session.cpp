// The session check on any cookie text, against a password taken from the
// input's first line: the answer is yes or no, the password sent as the
// browser encodes it always logs in, and no cookie without "auth=" does.
#include <cstdio>
#include <string>

#include "config/orva_channel.h"
#include "engine/orva_text.h"
#include "fuzz_support.h"
#include "web/orva_login.h"
#include "web/orva_web.h"

namespace {

std::string percentEncoded(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        char escape[4];
        snprintf(escape, sizeof escape, "%%%02X", c);
        out += escape;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\n');
    const std::string_view password = input.substr(0, split);
    const std::string cookies(split == std::string_view::npos ? "" : input.substr(split + 1));
    if (password.find('\0') != std::string_view::npos ||
        !copyText(g_globalSettings.LoginPass, password))
        return 0;

    const int verdict = orvaCGIAuth(cookies.c_str());
    if (verdict != 0 && verdict != 1)
        fuzzFail("the session check gave neither yes nor no");
    if (password.empty() && verdict != 1)
        fuzzFail("an empty password asked for a login");
    if (!password.empty() && verdict == 1 && cookies.find("auth=") == std::string::npos)
        fuzzFail("a cookie text without auth= logged in");
    if (!password.empty() && orvaCGIAuth(nullptr) != 0)
        fuzzFail("a request without cookies logged in");

    const std::string encoded = percentEncoded(password);
    if (encoded.size() < ORVA_WEB_TEXT_SIZE && orvaCGIAuth(("x=1; auth=" + encoded).c_str()) != 1)
        fuzzFail("the right password did not log in");
    return 0;
}
