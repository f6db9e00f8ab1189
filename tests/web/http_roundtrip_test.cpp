// What an operator enters over HTTP survives every step: the edit, the read
// document (parsed as XML), the command line the transcoder receives, the
// saved configuration file, and a restart of the daemon, with texts that hold
// blanks, "+", "&", "%", "=", "<", quotes and non-ASCII letters. Once in the C
// locale and once under de_DE.UTF-8, whose decimal comma must reach neither
// the documents nor the command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "orva_launch.h"
#include "web/web_fixture.h"
#include "web/xml_check.h"

using namespace std::chrono_literals;

namespace {

// Every field of the channel editor, with the values the test sends.
const std::vector<std::pair<std::string, std::string>> kFields = {
    {"sfmt", "file"},  // a network address is read as a file source
    {"surl", "rtsp://127.0.0.1:8554/live stream?bar=1&ar=8000&x=%41+ä"},
    {"memo", "Studio <B> & \"Nachrichten\" 100% + ä = 'x'"},
    {"svparam", "-thread_queue_size 512"},
    {"sparam", "-rtsp_transport tcp -user_agent \"Ag ent/1.0 ä&b=c\""},
    {"turl", "rtmp://127.0.0.1/live/a b+c%41?x=1&y=="},
    {"tfmt", "rtmp"},
    {"muxbr", "3000"},
    {"ev", "on"},
    {"cv", "H264"},
    {"vx", "640"},
    {"vy", "360"},
    {"vr", "12.5"},
    {"qv", "50"},
    {"vb", "0"},
    {"kfi", "50"},
    {"deint", "on"},
    {"tvparam", "-preset veryfast -x264-params \"keyint=50:scenecut=0\""},
    {"ea", "on"},
    {"ca", "AAC"},
    {"ar", "48000"},
    {"ac", "2"},
    {"ab", "128"},
    {"mparam", "-map 0:v:0 -map 0:a:0?"},
    {"fparam", "-flvflags no_duration_filesize"},
    {"rtmpflash", "FMLE/3.0 (compatible; FMSc/1.0)"},
    {"rtmpswf", "http://127.0.0.1/p.swf?a=1&b=2%20"},
    {"rtmpuser", "us er+ä"},
    {"rtmppass", "p&ss w%rd=<x>"},
    {"tslen", "0"},
    {"tspath", "/tmp/ts cache/ä&<x>"},
    {"tparam", "-headers \"X-A: a&b\" -metadata comment=100%+"},
    {"bsrc", "/media/backup \"x\" ä&<b>+%41 = 'y'.ts"},
    {"stimeout", "2500"},
    {"ablack", "0"},
    {"afreeze", "3600"},
    {"asilent", "7"},
};

const std::string kPassword = " p ä \"w\" &%+=<x> ";

std::string field(const std::string& name) {
    for (const auto& [key, value] : kFields)
        if (key == name)
            return value;
    ADD_FAILURE() << "no field " << name;
    return "";
}

// Form encoding as browsers send it: letters and digits as they are, a
// blank as "+", every other byte as "%XX".
std::string formEncode(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '*') {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            char escape[4];
            snprintf(escape, sizeof escape, "%%%02X", c);
            out += escape;
        }
    }
    return out;
}

std::string formBody() {
    std::string body;
    for (const auto& [name, value] : kFields)
        body += (body.empty() ? "" : "&") + name + "=" + formEncode(value);
    return body;
}

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class RoundTripTest : public WebTest {
protected:
    // The service's own value of a variable the engine sets does not reach the transcoder.
    void SetUp() override {
        setenv("ORVAL_ALARM_BLACK", "99", 1);
        WebTest::SetUp();
        unsetenv("ORVAL_ALARM_BLACK");
    }
    // The transcoder keeps its environment, to show what the engine passed on.
    std::string transcoderBody() const override {
        return "env > \"$here/env.tmp\" && mv \"$here/env.tmp\" \"$here/env.txt\"\nexec sleep 30";
    }
    std::string settings() const override {
        return "Log 32\nRTSPPort 5545\nAutoStart 1\nAutoRestart 7\nCpuPerChannel 1\n"
               "StreamTimeLimit 3600\nFolderRecur 1\nFolderShuffle 1\nLoginPass " +
               kPassword + "\n";
    }
    std::string cookie() const { return "Cookie: auth=" + formEncode(kPassword) + "\r\n"; }

    std::string document() const {
        HttpReply reply = get("/channel1", cookie());
        EXPECT_EQ(200, reply.status);
        return reply.body;
    }

    // One value of the document, as an XML parser reads it.
    static std::string xpath(const std::string& xml, const std::string& path) {
        return xmlString(xml, path).value_or("(the document does not parse)");
    }

    // The arguments the transcoder received, as its launcher splits them.
    std::vector<std::string> receivedArguments() const {
        std::string line = readFile(dir / "bin/line.txt");
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        std::string_view args;
        EXPECT_EQ(kLaunchOk, stripToken(line, args)) << line;
        return splitCommandLine(args);
    }

    void expectDocumentHoldsEveryField(const std::string& xml) const;
    void expectLineHoldsEveryField() const;
    void expectFileHoldsEveryValue() const;
    void expectEnvironmentHoldsTheContinuity() const;
    void runRoundTrip();
};

void RoundTripTest::expectDocumentHoldsEveryField(const std::string& xml) const {
    const std::string target = "/root/targets/target[1]";
    const std::map<std::string, std::string> expected = {
        {"/root/source/@format", field("sfmt")},
        {"/root/source/url", field("surl")},
        {"/root/source/param", field("sparam")},
        {"/root/source/svparam", field("svparam")},
        {"/root/targets/@total", "1"},
        {target + "/@format", field("tfmt")},
        {target + "/@venable", "1"},
        {target + "/@vcodec", field("cv")},
        {target + "/@width", field("vx")},
        {target + "/@height", field("vy")},
        {target + "/@fps", "12.500000"},
        {target + "/@quality", field("qv")},
        {target + "/@vbr", field("vb")},
        {target + "/@kfi", field("kfi")},
        {target + "/@deint", "1"},
        {target + "/@tvparam", field("tvparam")},
        {target + "/@aenable", "1"},
        {target + "/@acodec", field("ca")},
        {target + "/@srate", field("ar")},
        {target + "/@ach", field("ac")},
        {target + "/@abr", field("ab")},
        {target + "/@muxbr", field("muxbr")},
        {target + "/@rtmpflash", field("rtmpflash")},
        {target + "/@rtmpswf", field("rtmpswf")},
        {target + "/@rtmpuser", field("rtmpuser")},
        {target + "/@rtmppass", field("rtmppass")},
        {target, "\n" + field("turl") + "\n"},
        {"/root/targets/map", field("mparam")},
        {"/root/targets/format", field("fparam")},
        {"/root/targets/tslen", field("tslen")},
        {"/root/targets/tspath", field("tspath")},
        {"/root/targets/param", field("tparam")},
        {"/root/targets/memo", field("memo")},
        {"/root/bsrc", field("bsrc")},
        {"/root/stimeout", field("stimeout")},
        {"/root/ablack", field("ablack")},
        {"/root/afreeze", field("afreeze")},
        {"/root/asilent", field("asilent")},
    };
    for (const auto& [path, value] : expected)
        EXPECT_EQ(value, xpath(xml, path)) << path;
}

void RoundTripTest::expectLineHoldsEveryField() const {
    std::vector<std::string> args = receivedArguments();
    auto has = [&](const std::string& arg) {
        return std::find(args.begin(), args.end(), arg) != args.end();
    };
    auto follows = [&](const std::string& option, const std::string& value) {
        for (size_t k = 0; k + 1 < args.size(); k++)
            if (args[k] == option && args[k + 1] == value)
                return true;
        return false;
    };
    EXPECT_TRUE(follows("-i", field("surl")));
    std::string turl = field("turl");
    std::string published = "rtmp://" + field("rtmpuser") + ":" + field("rtmppass") + "@" +
                            turl.substr(turl.find("://") + 3);
    EXPECT_TRUE(has(published));
    EXPECT_TRUE(follows("-r", "12.5"));
    EXPECT_TRUE(follows("-crf", "35.3"));
    EXPECT_TRUE(follows("-s", "640x360"));
    EXPECT_TRUE(follows("-g", "50"));
    EXPECT_TRUE(follows("-ar", "48000"));
    EXPECT_TRUE(follows("-b:a", "128k"));
    EXPECT_TRUE(follows("-muxrate", "3000k"));
    EXPECT_TRUE(follows("-user_agent", "Ag ent/1.0 ä&b=c"));
    EXPECT_TRUE(follows("-headers", "X-A: a&b"));
    EXPECT_TRUE(follows("-metadata", "comment=100%+"));
    EXPECT_TRUE(follows("-x264-params", "keyint=50:scenecut=0"));
    EXPECT_TRUE(follows("-rtmp_swfurl", field("rtmpswf")));
    // The option texts reach the line as written.
    std::string line = readFile(dir / "bin/line.txt");
    for (const char* name : {"svparam", "sparam", "tvparam", "mparam", "fparam", "tparam"})
        EXPECT_TRUE(holds(line, field(name))) << name << " in " << line;
    EXPECT_TRUE(holds(line, "-rtmp_flashver " + field("rtmpflash"))) << line;
}

void RoundTripTest::expectFileHoldsEveryValue() const {
    std::string saved = readFile(confFile);
    for (const char* line : {"Log 32\n", "RTSPPort 5545\n", "AutoStart 1\n", "AutoRestart 7\n",
                             "CpuPerChannel 1\n", "StreamTimeLimit 3600\n", "FolderRecur 1\n",
                             "FolderShuffle 1\n"})
        EXPECT_TRUE(holds(saved, line)) << line;
    EXPECT_TRUE(holds(saved, "\nLoginPass " + kPassword + "\n"));
    EXPECT_TRUE(holds(saved, "Memo \"" + field("memo") + "\"\n"));
    EXPECT_TRUE(holds(saved, "File \"" + field("surl") + "\"\n"));
    EXPECT_TRUE(holds(saved, "File \"" + field("turl") + "\"\n"));
    EXPECT_TRUE(holds(saved, "RTMPPubPass " + field("rtmppass") + "\n"));
    EXPECT_TRUE(holds(saved, "TimeShiftCacheFolder \"" + field("tspath") + "\"\n"));
    EXPECT_TRUE(holds(saved, "\nBackupSource \"" + field("bsrc") + "\"\nSourceTimeout 2500\n"
                             "AlarmBlackSec 0\nAlarmFreezeSec 3600\nAlarmSilenceSec 7\n</Channel1>\n"));
}

// The launcher learns the memo and the continuity settings from its environment.
void RoundTripTest::expectEnvironmentHoldsTheContinuity() const {
    std::string env = readFile(dir / "bin/env.txt");
    for (const std::string& line :
         {std::string("ORVAL_CHANNEL=1"), "ORVAL_MEMO=" + field("memo"), "ORVAL_BACKUP=" + field("bsrc"),
          std::string("ORVAL_SOURCE_TIMEOUT=2500"), std::string("ORVAL_ALARM_BLACK=0"),
          std::string("ORVAL_ALARM_FREEZE=3600"), std::string("ORVAL_ALARM_SILENCE=7")})
        EXPECT_TRUE(holds("\n" + env, "\n" + line + "\n")) << line << " in " << env;
    EXPECT_FALSE(holds(env, "ORVAL_ALARM_BLACK=99"));
}

void RoundTripTest::runRoundTrip() {
    ASSERT_EQ(200, post("/channel1", formBody(), cookie()).status);
    std::string xml = document();
    ASSERT_TRUE(xmlWellFormed(xml)) << xml;
    expectDocumentHoldsEveryField(xml);
    std::string saved = readFile(confFile);
    expectFileHoldsEveryValue();

    ASSERT_EQ(200, get("/channel1?start", cookie()).status);
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(dir / "bin/env.txt"); }, 10s))
        << readFile(root + "/var/orval/log/orva_001.log");
    expectLineHoldsEveryField();
    expectEnvironmentHoldsTheContinuity();
    std::vector<std::string> firstLine = receivedArguments();

    // The start set the run flag, which only the save at exit writes; the
    // restarted daemon holds the same channel, starts it with the same line
    // and saves it unchanged.
    std::string running = saved;
    size_t flag = running.find("<Channel1>\nEnable 0\n");
    ASSERT_NE(std::string::npos, flag);
    running[flag + strlen("<Channel1>\nEnable ")] = '1';
    ASSERT_EQ(0, endDaemon());
    EXPECT_TRUE(running == readFile(confFile)) << readFile(confFile).substr(0, 3000);
    std::filesystem::remove(dir / "bin/line.txt");
    std::filesystem::remove(dir / "bin/env.txt");
    ended = false;
    ASSERT_GT(startDaemon(), 0);
    EXPECT_EQ(xml, document());
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(dir / "bin/env.txt"); }, 10s));
    EXPECT_EQ(firstLine, receivedArguments());
    expectEnvironmentHoldsTheContinuity();
    ASSERT_EQ(0, endDaemon());
    EXPECT_TRUE(running == readFile(confFile)) << readFile(confFile).substr(0, 3000);
}

TEST_F(RoundTripTest, EveryFieldSurvivesTheDocumentTheLineTheFileAndARestart) {
    runRoundTrip();
}

// The daemon runs with the environment's locale set to German, whose decimal
// separator is a comma.
class GermanRoundTripTest : public RoundTripTest {
protected:
    TempDir locales;
    void SetUp() override {
        std::string compile =
            "localedef -i de_DE -f UTF-8 '" + (locales / "de_DE.UTF-8") + "' 2>/dev/null";
        ASSERT_EQ(0, system(compile.c_str())) << "localedef (package locales) is needed";
        setenv("LOCPATH", locales.path().c_str(), 1);
        setenv("LC_ALL", "de_DE.UTF-8", 1);
        RoundTripTest::SetUp();
    }
    void TearDown() override {
        RoundTripTest::TearDown();
        unsetenv("LC_ALL");
        unsetenv("LOCPATH");
    }
};

TEST_F(GermanRoundTripTest, EveryFieldSurvivesUnderAGermanLocale) {
    runRoundTrip();
}

}  // namespace
