// The management server's pure parts: the access list, the form decoder, the
// session check, the routing table and the built-in icons.
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "config/orva_channel.h"
#include "engine/orva_service_log.h"
#include "engine/orva_text.h"
#include "test_support.h"
#include "web/orva_acl.h"
#include "web/orva_icons.h"
#include "web/orva_login.h"
#include "web/orva_router.h"
#include "web/orva_web.h"

namespace {

uint32_t ip(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

int allows(const std::string& list, uint32_t address) {
    FILE* f = fmemopen(const_cast<char*>(list.data()), list.size(), "r");
    int verdict = orvaAclAllows(f, address);
    fclose(f);
    return verdict;
}

}  // namespace

TEST(AccessList, TheFirstLineCoveringTheClientDecides) {
    struct Case { const char* list; uint32_t client; int allowed; };
    const std::string longLine = std::string(99, '#') + "deny 10.0.0.1\n";
    const Case cases[] = {
        {"deny 10.0.0.1\nallow 0.0.0.0/0\n", ip(10, 0, 0, 1), 0},
        {"allow 10.0.0.0/8\ndeny 0.0.0.0/0\n", ip(10, 9, 9, 9), 1},
        {"allow 10.0.0.0/8\ndeny 0.0.0.0/0\n", ip(11, 0, 0, 0), 0},
        {"DeNy 10.0.0.1", ip(10, 0, 0, 1), 0},
        {"permit 10.0.0.1\ndeny 10.0.0.1\n", ip(10, 0, 0, 1), 1},   // any other keyword allows
        {"deny 192.168.1.7\r\n", ip(192, 168, 1, 7), 0},
        {"deny 192.168.1.7\r\n", ip(192, 168, 1, 8), 1},
        // The entry's own address starts the range: no rounding to a network.
        {"deny 192.168.1.100/24\n", ip(192, 168, 2, 99), 0},
        {"deny 192.168.1.100/24\n", ip(192, 168, 2, 100), 1},
        {"deny 192.168.1.100/24\n", ip(192, 168, 1, 99), 1},
        {"deny 10.0.0.5/32\n", ip(10, 0, 0, 6), 1},
        {"deny 200.0.0.0/0\n", ip(255, 255, 255, 255), 0},
        {"deny 200.0.0.0/0\n", ip(199, 255, 255, 255), 1},
        {"  deny    10.0.0.1   trailing words\n", ip(10, 0, 0, 1), 0},
        // Skipped lines: a bad prefix, a bad address, one word, a tab inside the word.
        {"deny 10.0.0.1/33\ndeny 10.0.0.1/\ndeny 10.0.0.1/x\n", ip(10, 0, 0, 1), 1},
        {"deny 10.0.0.256\ndeny 10.0.0\ndeny 10.0.0.1.2\ndeny\n", ip(10, 0, 0, 1), 1},
        {"deny\t10.0.0.1\n", ip(10, 0, 0, 1), 1},
        {longLine.c_str(), ip(10, 0, 0, 1), 0},   // the rest of a long line reads as a line
        {"", ip(10, 0, 0, 1), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        EXPECT_EQ(c.allowed, allows(c.list, c.client));
    }
}

TEST(AccessList, TyposAreLoggedOnceForEachChangeOfTheFile) {
    TempDir dir;
    orvaServiceLogOpen(dir.path().c_str());
    const std::string list = dir / "orval.acl";
    writeFile(list, "allow 127.0.0.1\ndeny\t10.0.0.1\ndeny 127.1\ndeny 127.0.0.1,\n\n"
                    "dney 10.0.0.0/8\ndeny 0.0.0.0/0\n");
    EXPECT_EQ(1, orvaAclCheck(list.c_str(), ip(10, 1, 1, 1)));  // the misspelt keyword allows
    EXPECT_EQ(1, orvaAclCheck(list.c_str(), ip(127, 0, 0, 1)));
    const std::string logged = readFile(dir / "orval.log");
    const std::string at = "] access list " + list + " line ";
    const char* expected[] = {
        "2 skipped (no keyword and address): \"deny\\x0910.0.0.1\"\n",
        "3 skipped (no keyword and address): \"deny 127.1\"\n",
        "4 skipped (no keyword and address): \"deny 127.0.0.1,\"\n",
        "6: \"dney\" is neither allow nor deny, so it allows: \"dney 10.0.0.0/8\"\n",
    };
    for (const char* line : expected) {
        SCOPED_TRACE(line);
        EXPECT_NE(std::string::npos, logged.find(at + line));
    }
    size_t lines = 0;
    for (char c : logged)
        lines += c == '\n';
    EXPECT_EQ(4u, lines);  // twice read, once reported; good and blank lines are not

    writeFile(list, "deny 10.0.0.1\nalow 10.0.0.2\n");
    EXPECT_EQ(0, orvaAclCheck(list.c_str(), ip(10, 0, 0, 1)));
    std::string after = readFile(dir / "orval.log").substr(logged.size());
    EXPECT_NE(std::string::npos, after.find(at + "2: \"alow\" is neither allow nor deny"));
    EXPECT_EQ(std::string::npos, after.find("dney"));
    orvaServiceLogOpen(nullptr);
}

TEST(AccessList, AMissingFileOrNoPathAdmitsEveryone) {
    EXPECT_EQ(1, orvaAclCheck("/nonexistent/orval.acl", ip(10, 0, 0, 1)));
    EXPECT_EQ(1, orvaAclCheck("", ip(10, 0, 0, 1)));
}

TEST(UrlDecode, DecodesFormEscapesAndCanKeepTheAmpersandEscaped) {
    struct Case { const char* in; int decodeAmp; const char* out; };
    const Case cases[] = {
        {"a+b%26c%2Bd%25e", 1, "a b&c+d%e"},
        {"a+b%26c%2Bd%25e", 0, "a b%26c+d%e"},
        {"%4a%4A", 1, "JJ"},
        {"100%", 1, "100%"}, {"%zz%2", 1, "%zz%2"},
        {"cut%00here", 1, "cut"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        char out[64];
        _urlDecode(c.in, out, c.decodeAmp);
        EXPECT_STREQ(c.out, out);
    }
}

TEST(SessionCheck, OnlyTheFirstAuthCookieCountsAndMustDecodeToThePassword) {
    copyText(g_globalSettings.LoginPass, "a b&c+d%e");
    struct Case { const char* cookies; int loggedIn; };
    const Case cases[] = {
        {"auth=a+b%26c%2Bd%25e", 1},
        {"x=1&auth=a+b%26c%2Bd%25e&y=2", 1},
        {"x=1; ; auth=a%20b%26c%2bd%25e", 1},
        {"auth=A+b%26c%2Bd%25e", 0},                    // letter case differs
        {"auth=wrong&auth=a+b%26c%2Bd%25e", 0},         // only the first counts
        {"Auth=a+b%26c%2Bd%25e", 0}, {"myauth=a+b%26c%2Bd%25e", 0},
        {"auth=a+b%26c%2Bd%25e%25", 0}, {"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cookies);
        EXPECT_EQ(c.loggedIn, orvaCGIAuth(c.cookies));
    }
    g_globalSettings.LoginPass[0] = '\0';
    EXPECT_EQ(1, orvaCGIAuth(""));
}

TEST(Routing, PathsCompareWithoutCaseInTableOrder) {
    struct Case { const char* url; OrvaRoute route; };
    const Case cases[] = {
        {"/", OrvaRoute::Index}, {"/STATUS", OrvaRoute::Status}, {"/Status", OrvaRoute::Status},
        {"/status/", OrvaRoute::NotFound}, {"/Import", OrvaRoute::Import},
        {"/global_config", OrvaRoute::GlobalConfig}, {"/DeckLink_Config", OrvaRoute::DecklinkConfig},
        {"/ndi_config", OrvaRoute::NdiConfig}, {"/channel", OrvaRoute::Channel},
        {"/CHANNEL7x", OrvaRoute::Channel}, {"/channel.png", OrvaRoute::Channel},
        {"/Start.PNG", OrvaRoute::Icon}, {"/start.png/", OrvaRoute::NotFound},
        {"/orvaoem.png", OrvaRoute::OemLogo}, {"/ORVAL.conf", OrvaRoute::Download},
        {"/login", OrvaRoute::NotFound}, {"", OrvaRoute::NotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(c.route, orvaFindRoute(c.url));
    }
}

TEST(Routing, TheChannelNumberIsTheLeadingDecimalNumberAfterTheName) {
    struct Case { const char* url; int number; };
    const Case cases[] = {
        {"/channel7", 7}, {"/channel07", 7}, {"/Channel7x", 7}, {"/channel", 0},
        {"/channel0", 0}, {"/channel65", 65}, {"/channelx7", 0}, {"/channel-3", -3},
        {"/channel99999999999999999999", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(c.number, orvaChannelNumber(c.url));
    }
}

TEST(Icons, EveryIconIsAnRgbaPngOfItsSizeInTheTablesOrder) {
    const std::pair<const char*, unsigned> expected[] = {
        {"start.png", 16}, {"stop.png", 16}, {"term.png", 20}, {"start_ch.png", 16},
        {"stop_ch.png", 16}, {"settings.png", 16}, {"help.png", 16}, {"create.png", 16},
        {"remove.png", 16}, {"edit.png", 16}, {"apply.png", 16}, {"cancel.png", 16}};
    auto be32 = [](const unsigned char* p) { return unsigned(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; };
    for (int i = 0; i < ORVA_CGI_FILE_COUNT; i++) {
        const ORVA_CGI_FILE& icon = g_cgiFiles[i];
        SCOPED_TRACE(expected[i].first);
        EXPECT_STREQ(expected[i].first, icon.pszName);
        ASSERT_GT(icon.nSize, 45);
        const unsigned char* p = icon.pData;
        EXPECT_EQ(0, memcmp(p, "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16));
        EXPECT_EQ(expected[i].second, be32(p + 16));
        EXPECT_EQ(expected[i].second, be32(p + 20));
        EXPECT_EQ(8, p[24]);  // bit depth
        EXPECT_EQ(6, p[25]);  // RGBA
        EXPECT_EQ(0, memcmp(p + icon.nSize - 8, "IEND\xae\x42\x60\x82", 8));
    }
}
