// The JSON texts of the management server: the string escaper, the two
// device lists composed from filled records, and the settings document and
// form. A real parser judges every document.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "config/orva_channel.h"
#include "devices/orva_devices.h"
#include "web/json_check.h"
#include "web/orva_channel_ops.h"
#include "web/orva_json.h"
#include "web/orva_settings.h"

using namespace std::string_literals;

namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

std::string escaped(std::string_view text) {
    std::string out;
    orvaJsonEscape(out, text);
    return out;
}

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; i++)
        out += piece;
    return out;
}

std::string jsonString(std::string_view text) { return "\"" + escaped(text) + "\""; }

template <size_t N>
void fill(char (&field)[N], std::string_view text) {
    ASSERT_LT(text.size(), N);
    memcpy(field, text.data(), text.size());
    field[text.size()] = '\0';
}

ORVA_DECKLINK_MODE mode(int32_t code, int32_t width, int32_t height, int32_t scale,
                        int32_t duration, int32_t interlaced) {
    return {code, width, height, scale, duration, interlaced};
}

}  // namespace

TEST(JsonEscape, EscapesQuotesBackslashesAndControlsAndLetsUtf8Pass) {
    struct Case {
        std::string text;
        std::string json;
    };
    const Case cases[] = {
        {"plain text", "plain text"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"C:\\cam\\1", "C:\\\\cam\\\\1"},
        {"a\nb\rc\td", "a\\u000Ab\\u000Dc\\u0009d"},
        {"\x01\x1F\x7F"s, "\\u0001\\u001F\\u007F"},
        {"nul\0here"s, "nul\\u0000here"},
        {"/ < > & '", "/ < > & '"},
        {"h\xC3\xA9 \xE2\x82\xAC \xF0\x9D\x84\x9E", "h\xC3\xA9 \xE2\x82\xAC \xF0\x9D\x84\x9E"},
        // One replacement for each byte that begins no well-formed sequence.
        {"a\xFF" "b", "a" + kReplacement + "b"},
        {"cut \xE2\x82", "cut " + kReplacement + kReplacement},
        {"overlong \xC0\xAF", "overlong " + kReplacement + kReplacement},
        {"surrogate \xED\xA0\x80", "surrogate " + kReplacement + kReplacement + kReplacement},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.json, escaped(c.text));
    }
}

TEST(JsonEscape, AnyBytesGiveValidJsonAndAcceptedTextsReadBackUnchanged) {
    std::mt19937 random(20240613);
    std::string list = "[";
    for (int i = 0; i < 300; i++) {
        std::string text(random() % 40, '\0');
        for (char& c : text)
            c = static_cast<char>(random() % 256);
        list += (i ? "," : "") + jsonString(text);
    }
    list += "]";
    EXPECT_TRUE(jsonValid(list));

    for (std::string text : {"pass \"word\" \\ end", " blanks at both ends ", "a&b%41+c=d",
                             "tab\there", "h\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(text, jsonValue("{\"v\": " + jsonString(text) + "}", "[\"v\"]"));
    }
}

TEST(DecklinkJson, ListsCardsAndModesExactlyAsThePageReadsThem) {
    auto cards = std::make_unique<ORVA_DECKLINKS>();
    cards->count = 2;
    fill(cards->cards[0].name, "DeckLink Duo (1)");
    cards->cards[0].numModes = 2;
    cards->cards[0].modes[0] = mode(0x48693539, 1920, 1080, 30000, 1001, 1);  // "Hi59"
    cards->cards[0].modes[1] = mode(static_cast<int32_t>(0xFF703530), 1280, 720, 50000, 1000, 0);
    fill(cards->cards[1].name, "Capture only");
    cards->cards[1].numModes = 0;

    const std::string json = orvaComposeDecklinks(*cards);
    EXPECT_EQ("{ \"devices\": [\n"
              "  { \"name\": \"DeckLink Duo (1)\",\n"
              "  \"formats\": [\n"
              "  { \"fmtcode\": 1214854457, \"width\": 1920, \"height\": 1080, \"numFrame\": 30000, "
              "\"denFrame\": 1001, \"interlaced\": 1 },\n"
              "  { \"fmtcode\": -9423568, \"width\": 1280, \"height\": 720, \"numFrame\": 50000, "
              "\"denFrame\": 1000, \"interlaced\": 0 }\n"
              "  ]\n  },\n"
              "  { \"name\": \"Capture only\",\n"
              "  \"formats\": [\n"
              "  ]\n  }\n"
              " ]\n}\n",
              json);
    EXPECT_TRUE(jsonValid(json));

    cards->count = 0;
    EXPECT_EQ("{ \"devices\": [\n ]\n}\n", orvaComposeDecklinks(*cards));
}

TEST(DecklinkJson, FullListsOfAwkwardNamesStayValidAndWhole) {
    auto cards = std::make_unique<ORVA_DECKLINKS>();
    cards->count = 1000;  // beyond the record's room: the ten cards it holds
    for (int i = 0; i < kOrvaMaxDeckLinkCards; i++) {
        ORVA_DECKLINK_CARD& card = cards->cards[i];
        // Every name escapes to twice its length or more.
        memset(card.name, i == 1 ? '"' : '\x01', sizeof card.name);
        card.numModes = i == 3 ? -5 : 9999;
        for (int m = 0; m < kOrvaMaxDeckLinkModes; m++)
            card.modes[m] = mode(INT32_MIN, INT32_MAX, m, 60000, 1001, 7);
    }
    fill(cards->cards[0].name, "Quad \"2\" \\ \xFF\n");

    const std::string json = orvaComposeDecklinks(*cards);
    EXPECT_GT(json.size(), 100000u);
    ASSERT_TRUE(jsonValid(json));
    EXPECT_EQ("10", jsonValue(json, "[\"devices\"].__len__()"));
    EXPECT_EQ("Quad \"2\" \\ " + kReplacement + "\n", jsonValue(json, "[\"devices\"][0][\"name\"]"));
    // A name that fills its field without a terminator is taken whole.
    EXPECT_EQ(std::string(kOrvaDeviceTextSize, '"'), jsonValue(json, "[\"devices\"][1][\"name\"]"));
    EXPECT_EQ("50", jsonValue(json, "[\"devices\"][9][\"formats\"].__len__()"));
    EXPECT_EQ("0", jsonValue(json, "[\"devices\"][3][\"formats\"].__len__()"));
    EXPECT_EQ("{\"fmtcode\":-2147483648,\"width\":2147483647,\"height\":49,\"numFrame\":60000,"
              "\"denFrame\":1001,\"interlaced\":1}",
              jsonValue(json, "[\"devices\"][9][\"formats\"][49]"));
}

TEST(NdiJson, ListsSourcesExactlyAsThePageReadsThem) {
    auto sources = std::make_unique<ORVA_NDI>();
    sources->count = 2;
    fill(sources->names[0], "STUDIO (Camera 1)");
    fill(sources->addresses[0], "192.168.1.20:5961");
    fill(sources->names[1], "LAPTOP (Screen)");
    fill(sources->addresses[1], "192.168.1.31:5962");

    const std::string json = orvaComposeNdiSources(*sources);
    EXPECT_EQ("{ \"sources\": [\n"
              "  { \"name\": \"STUDIO (Camera 1)\", \"addr\": \"192.168.1.20:5961\" }\n,\n"
              "  { \"name\": \"LAPTOP (Screen)\", \"addr\": \"192.168.1.31:5962\" }\n\n"
              " ]\n}\n",
              json);
    EXPECT_TRUE(jsonValid(json));

    sources->count = 0;
    EXPECT_EQ("{ \"sources\": [\n ]\n}\n", orvaComposeNdiSources(*sources));
}

TEST(NdiJson, FullListsOfAwkwardNamesStayValidAndWhole) {
    auto sources = std::make_unique<ORVA_NDI>();
    sources->count = 5000;  // beyond the record's room: the twenty it holds
    for (int i = 0; i < kOrvaMaxNdiSources; i++) {
        memset(sources->names[i], '\\', sizeof sources->names[i]);
        memset(sources->addresses[i], '\x1F', sizeof sources->addresses[i]);
    }
    fill(sources->names[19], "MIXER \"Main\" C:\\out \x7F h\xC3\xA9");
    fill(sources->addresses[19], "10.0.0.9:5961");

    const std::string json = orvaComposeNdiSources(*sources);
    ASSERT_TRUE(jsonValid(json));
    EXPECT_EQ("20", jsonValue(json, "[\"sources\"].__len__()"));
    EXPECT_EQ(std::string(kOrvaDeviceTextSize, '\\'), jsonValue(json, "[\"sources\"][0][\"name\"]"));
    EXPECT_EQ(std::string(kOrvaDeviceTextSize, '\x1F'), jsonValue(json, "[\"sources\"][0][\"addr\"]"));
    EXPECT_EQ("MIXER \"Main\" C:\\out \x7F h\xC3\xA9", jsonValue(json, "[\"sources\"][19][\"name\"]"));
    EXPECT_EQ("10.0.0.9:5961", jsonValue(json, "[\"sources\"][19][\"addr\"]"));
}

// The settings document and form apart from HTTP. No configuration file is
// set here, so the save after an update writes nothing.
class SettingsForm : public ::testing::Test {
protected:
    void SetUp() override {
        ORVA_GLOBAL_SETTINGS& s = g_globalSettings;
        s.Log = 32;
        s.HTTPPort = 8888;
        s.RTSPPort = 554;
        fill(s.LoginPass, "old");
        s.AutoStart = 1;
        s.AutoRestart = 10;
        s.FolderRecur = 1;
        s.FolderShuffle = 1;
        s.CpuPerChannel = 2;
        orvaSetLog(32);
        orvaSetCpuAffinity(2);
    }
};

TEST_F(SettingsForm, TheDocumentShowsEveryReportedSettingWithItsPasswordEscaped) {
    fill(g_globalSettings.LoginPass, " a \"b\" \\c ");
    const std::string json = orvaComposeSettings();
    EXPECT_EQ("{ \"log\": 32,\n  \"httpPort\": 8888,\n  \"rtspPort\": 554,\n"
              "  \"loginPass\": \" a \\\"b\\\" \\\\c \",\n  \"loginPassUnshown\": 0,\n"
              "  \"autorun\": 1,\n  \"autorunManaged\": 0,\n  \"autoRestart\": 10,\n  \"folderRecur\": 1,\n"
              "  \"folderShuffle\": 1,\n  \"cpuAffinity\": 2\n}",
              json);
    EXPECT_EQ(" a \"b\" \\c ", jsonValue(json, "[\"loginPass\"]"));

    // A password that is not UTF-8 is not shown; a tab is.
    fill(g_globalSettings.LoginPass, "a\xFF\tb");
    std::string unshown = orvaComposeSettings();
    EXPECT_EQ("", jsonValue(unshown, "[\"loginPass\"]"));
    EXPECT_EQ("1", jsonValue(unshown, "[\"loginPassUnshown\"]"));
    fill(g_globalSettings.LoginPass, "a\tb");
    EXPECT_EQ("a\tb", jsonValue(orvaComposeSettings(), "[\"loginPass\"]"));
}

TEST_F(SettingsForm, AnUpdateAppliesEachFieldAndTheMissingSwitchesMeanOff) {
    ASSERT_EQ(0, orvaUpdateSettings("http_port=8080&login_pass=a+b%26c%25&auto_restart=86400"
                                    "&cpu_affinity=1024&folder_recur=on&autorun=yes"));
    const ORVA_GLOBAL_SETTINGS& s = g_globalSettings;
    EXPECT_EQ(0, s.Log);
    EXPECT_EQ(0, g_cfg.logLevel);
    EXPECT_EQ(8080, s.HTTPPort);
    EXPECT_EQ(554, s.RTSPPort);
    EXPECT_EQ("a b&c%", fieldText(s.LoginPass));
    EXPECT_EQ(0, s.AutoStart);  // anything but "on" is off
    EXPECT_EQ(86400, s.AutoRestart);
    EXPECT_EQ(1, s.FolderRecur);
    EXPECT_EQ(0, s.FolderShuffle);
    EXPECT_EQ(1024, s.CpuPerChannel);
    EXPECT_EQ(1024, g_cfg.cpuPerChannel);

    // Empty numbers are numbers not given; a form without a password keeps
    // it, and only one sent empty switches the login off.
    ASSERT_EQ(0, orvaUpdateSettings("log=on&rtsp_port=0&http_port=&auto_restart=&cpu_affinity="));
    EXPECT_EQ(32, s.Log);
    EXPECT_EQ(32, g_cfg.logLevel);
    EXPECT_EQ(8080, s.HTTPPort);
    EXPECT_EQ(0, s.RTSPPort);
    EXPECT_EQ("a b&c%", fieldText(s.LoginPass));
    ASSERT_EQ(0, orvaUpdateSettings("log=on&login_pass="));
    EXPECT_EQ("", fieldText(s.LoginPass));
    EXPECT_EQ(86400, s.AutoRestart);
    EXPECT_EQ(1024, s.CpuPerChannel);
}

TEST_F(SettingsForm, ARefusedUpdateChangesNothingNotEvenTheEnginesLevels) {
    struct Case {
        std::string body;
        int rc;
    };
    const std::string longest(ORVA_EDIT_VALUE_MAX, 'x');
    const Case cases[] = {
        {"http_port=65536", ORVA_WEB_BAD_VALUE},
        {"http_port=-1", ORVA_WEB_BAD_VALUE},
        {"http_port=0", ORVA_WEB_BAD_VALUE},
        {"rtsp_port=5545x", ORVA_WEB_BAD_VALUE},
        {"rtsp_port=+5545", ORVA_WEB_BAD_VALUE},
        {"rtsp_port=+", ORVA_WEB_BAD_VALUE},
        {"http_port=99999999999999999999", ORVA_WEB_BAD_VALUE},
        {"auto_restart=86401", ORVA_WEB_BAD_VALUE},
        {"auto_restart=-5", ORVA_WEB_BAD_VALUE},
        {"auto_restart=1.5", ORVA_WEB_BAD_VALUE},
        {"cpu_affinity=1025", ORVA_WEB_BAD_VALUE},
        {"cpu_affinity=two", ORVA_WEB_BAD_VALUE},
        {"login_pass=a%0Ab", ORVA_WEB_BAD_VALUE},
        {"login_pass=a%0Db", ORVA_WEB_BAD_VALUE},
        {"login_pass=a%00b", ORVA_WEB_BAD_VALUE},
        {"login_pass=a%FFb", ORVA_WEB_BAD_VALUE},
        {"login_pass=%C3", ORVA_WEB_BAD_VALUE},
        {"login_pass=" + longest + "y", ORVA_WEB_TOO_LARGE},
        {"autorun=" + longest + "y", ORVA_WEB_TOO_LARGE},
        {"login_pass=" + std::string(995, 'x'), ORVA_WEB_TOO_LARGE},
        // Fits the settings, but its session cookie would not fit the cookie text.
        {"login_pass=" + std::string(332, 'x') + repeat("%41", 222), ORVA_WEB_TOO_LARGE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 60));
        EXPECT_EQ(c.rc, orvaUpdateSettings("log=&folder_shuffle=off&" + c.body));
        const ORVA_GLOBAL_SETTINGS& s = g_globalSettings;
        EXPECT_EQ(32, s.Log);
        EXPECT_EQ(32, g_cfg.logLevel);
        EXPECT_EQ(8888, s.HTTPPort);
        EXPECT_EQ(554, s.RTSPPort);
        EXPECT_EQ("old", fieldText(s.LoginPass));
        EXPECT_EQ(1, s.AutoStart);
        EXPECT_EQ(10, s.AutoRestart);
        EXPECT_EQ(1, s.FolderShuffle);
        EXPECT_EQ(2, s.CpuPerChannel);
        EXPECT_EQ(2, g_cfg.cpuPerChannel);
    }
    // The longest values that fit are taken: a password whose cookie
    // "auth=..." just fills the cookie text, and any other value of 999.
    const std::string password(994, 'p');
    EXPECT_EQ(0, orvaUpdateSettings("login_pass=" + password + "&http_port=65535&autorun=" + longest));
    EXPECT_EQ(password, fieldText(g_globalSettings.LoginPass));
    EXPECT_EQ(65535, g_globalSettings.HTTPPort);
}
