// The settings endpoint over real HTTP against the daemon: what the file
// holds is what the dialog reads, each accepted value reaches the table, the
// engine, the file and, after a restart, the table again, and a refused form
// answers 400 or 413 and changes nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>

#include "web/json_check.h"
#include "web/web_fixture.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The reply's bytes as they came, header names spelled as sent; the server
// closes the connection after it.
std::string rawExchange(int port, const std::string& request) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        char chunk[4096];
        for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
            reply.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return reply;
}

class SettingsHttpTest : public WebTest {
protected:
    std::string settings() const override {
        return "Log 32\nRTSPPort 5554\nAutoStart 1\nAutoRestart 7\nFolderRecur 1\nFolderShuffle 1\n"
               "CpuPerChannel 3\n";
    }
    HttpReply read(const std::string& cookie = "") const {
        return get("/global_config", cookie.empty() ? "" : "Cookie: " + cookie + "\r\n");
    }
    HttpReply update(const std::string& form, const std::string& cookie = "") const {
        std::string headers = "Content-Type: application/x-www-form-urlencoded\r\n";
        if (!cookie.empty())
            headers += "Cookie: " + cookie + "\r\n";
        return post("/global_config", form, headers);
    }
    std::string setting(const std::string& key, const std::string& cookie = "") const {
        return jsonValue(read(cookie).body, "[\"" + key + "\"]").value_or("<does not parse>");
    }
    void restart() {
        ASSERT_EQ(0, endDaemon());
        ASSERT_GT(startDaemon(), 0);
        ended = false;
    }
};

// A stand-in for systemctl where the daemon looks for it under its root. It
// records each call, answers is-enabled from its state file, and enable and
// disable change that file; they fail while a file "fail" exists and hang
// while a file "hang" does.
constexpr const char* kSystemctl =
    "#!/bin/sh\n"
    "here=$(dirname \"$0\")\n"
    "echo \"$*\" >> \"$here/systemctl.calls\"\n"
    "case \"$1\" in\n"
    "is-enabled) read -r state < \"$here/systemctl.state\"; echo \"$state\"; [ \"$state\" = enabled ] ;;\n"
    "enable|disable)\n"
    "  [ -e \"$here/hang\" ] && exec sleep 30\n"
    "  [ -e \"$here/fail\" ] && exit 1\n"
    "  echo \"$1d\" > \"$here/systemctl.state\" ;;\n"
    "*) exit 2 ;;\n"
    "esac\n";

// The daemon runs where systemd runs the machine (the folder systemd makes
// exists under the daemon's root) and its unit is installed but disabled,
// while the file says AutoStart 1.
class AutorunHttpTest : public SettingsHttpTest {
protected:
    std::string bin = root + "/usr/bin";
    void SetUp() override {
        std::filesystem::create_directories(bin);
        std::filesystem::create_directories(root + "/run/systemd/system");
        setState("disabled");
        writeExecutable(bin + "/systemctl", kSystemctl);
        SettingsHttpTest::SetUp();
    }
    void setState(const std::string& state) { writeFile(bin + "/systemctl.state", state + "\n"); }
    std::string state() const { return readFile(bin + "/systemctl.state"); }
    // The calls since the last look.
    std::string calls() {
        std::string text = readFile(bin + "/systemctl.calls");
        writeFile(bin + "/systemctl.calls", "");
        return text;
    }
};

}  // namespace

TEST_F(SettingsHttpTest, TheReadRightAfterStartShowsTheFilesValues) {
    HttpReply reply = read();
    ASSERT_EQ(200, reply.status);
    EXPECT_EQ("application/json", reply.header("content-type"));
    EXPECT_EQ("no-cache", reply.header("pragma"));
    EXPECT_EQ("no-cache", reply.header("cache-control"));
    EXPECT_EQ("{ \"log\": 32,\n  \"httpPort\": " + std::to_string(port) +
                  ",\n  \"rtspPort\": 5554,\n  \"loginPass\": \"\",\n  \"loginPassUnshown\": 0,\n"
                  "  \"autorun\": 1,\n  \"autorunManaged\": 0,\n  \"autoRestart\": 7,\n  \"folderRecur\": 1,\n"
                  "  \"folderShuffle\": 1,\n  \"cpuAffinity\": 3\n}",
              reply.body);
    EXPECT_TRUE(jsonValid(reply.body));
}

// Channels 1 and 2 are configured and stopped; every start appends the
// transcoder's line to "lines.txt".
class SettingsEngineHttpTest : public SettingsHttpTest {
protected:
    std::string transcoderBody() const override {
        return "printf '%s\\n' \"$line\" >> \"$here/lines.txt\"\nexec sleep 30";
    }
    std::string settings() const override {
        return SettingsHttpTest::settings() + "\n" + channelBlock(1, dir / "in.ts", 0) +
               channelBlock(2, dir / "in.ts", 0);
    }
    void SetUp() override {
        writeFile(dir / "in.ts", "");
        WebTest::SetUp();
    }
    // The line of the n-th start, counted from 1; empty until it came.
    std::string startLine(size_t n) const {
        std::string lines = readFile(dir / "bin/lines.txt");
        size_t begin = 0;
        for (size_t i = 1; i < n && begin != std::string::npos; i++) {
            begin = lines.find('\n', begin);
            begin = begin == std::string::npos ? begin : begin + 1;
        }
        if (begin == std::string::npos || begin >= lines.size())
            return "";
        return lines.substr(begin, lines.find('\n', begin) - begin);
    }
};

TEST_F(SettingsEngineHttpTest, AnUpdateWithoutLogTurnsTheEnginesLevelOffAtOnceAndTheMissingSwitchesOff) {
    ASSERT_EQ(200, get("/channel1?start").status);
    ASSERT_TRUE(waitUntil([&] { return !startLine(1).empty(); }, 5s));
    EXPECT_TRUE(holds(startLine(1), "-v 32 ")) << startLine(1);

    // The dialog's form with no box ticked; it never sends folder_shuffle.
    HttpReply reply = update("http_port=" + std::to_string(port) + "&login_pass=&auto_restart=0"
                             "&cpu_affinity=0");
    ASSERT_EQ(200, reply.status);
    EXPECT_EQ("", reply.body);
    EXPECT_EQ("auth=; HttpOnly; SameSite=Strict; Path=/", reply.header("set-cookie"));
    EXPECT_EQ("{ \"log\": 0,\n  \"httpPort\": " + std::to_string(port) +
                  ",\n  \"rtspPort\": 5554,\n  \"loginPass\": \"\",\n  \"loginPassUnshown\": 0,\n"
                  "  \"autorun\": 0,\n  \"autorunManaged\": 0,\n  \"autoRestart\": 0,\n  \"folderRecur\": 0,\n"
                  "  \"folderShuffle\": 0,\n  \"cpuAffinity\": 0\n}",
              read().body);

    // The next process the engine starts runs without the debug level.
    ASSERT_EQ(200, get("/channel2?start").status);
    ASSERT_TRUE(waitUntil([&] { return !startLine(2).empty(); }, 5s));
    EXPECT_FALSE(holds(startLine(2), "-v ")) << startLine(2);

    std::string saved = readFile(confFile);
    for (const char* line : {"Log 0\n", "AutoStart 0\n", "AutoRestart 0\n", "FolderRecur 0\n",
                             "FolderShuffle 0\n", "CpuPerChannel 0\n", "RTSPPort 5554\n"})
        EXPECT_TRUE(holds(saved, line)) << line << saved;

    ASSERT_EQ(200, update("log=on&folder_shuffle=on").status);
    EXPECT_EQ("32", setting("log"));
    EXPECT_EQ("1", setting("folderShuffle"));
    EXPECT_TRUE(holds(readFile(confFile), "FolderShuffle 1\n"));
}

TEST_F(SettingsHttpTest, RtspPortAloneChangesTheRtspPortAndKeepsTheHttpPort) {
    ASSERT_EQ(200, update("rtsp_port=5545").status);
    EXPECT_EQ("5545", setting("rtspPort"));
    EXPECT_EQ(std::to_string(port), setting("httpPort"));
    EXPECT_EQ("7", setting("autoRestart"));  // a number not given stays
    EXPECT_EQ("3", setting("cpuAffinity"));
    std::string saved = readFile(confFile);
    EXPECT_TRUE(holds(saved, "RTSPPort 5545\n")) << saved;
    EXPECT_TRUE(holds(saved, "HTTPPort " + std::to_string(port) + "\n")) << saved;
}

TEST_F(SettingsHttpTest, APasswordAndANewPortSurviveTheFileAndARestart) {
    const int newPort = freePort();
    ASSERT_GT(newPort, 0);
    // Blanks at both ends, "+", "&", "%", "=", quotes and a backslash.
    const std::string password = " my pass+&%=\"x\" \\ ";
    const std::string sent = "+my+pass%2B%26%25%3D%22x%22+%5C+";
    const std::string cookie = "auth=" + sent;
    HttpReply reply = update("http_port=" + std::to_string(newPort) + "&login_pass=" + sent);
    ASSERT_EQ(200, reply.status);
    // Exactly as sent, still encoded.
    EXPECT_EQ(cookie + "; HttpOnly; SameSite=Strict; Path=/", reply.header("set-cookie"));
    std::string raw = rawExchange(port, httpRequest("POST", "/global_config",
                                                    "Cookie: " + cookie + "\r\nConnection: close\r\n",
                                                    "http_port=" + std::to_string(newPort) +
                                                        "&login_pass=" + sent));
    EXPECT_TRUE(holds(raw, "\r\nSet-cookie: " + cookie + "; HttpOnly; SameSite=Strict; Path=/\r\n"))
        << raw;

    // The password guards the next request; the cookie as the browser keeps it opens.
    EXPECT_TRUE(holds(get("/global_config").body, "Login Authentication"));
    EXPECT_EQ(password, setting("loginPass", cookie));
    EXPECT_EQ(std::to_string(newPort), setting("httpPort", cookie));
    EXPECT_TRUE(holds(readFile(confFile), "\nLoginPass " + password + "\n")) << readFile(confFile);
    EXPECT_TRUE(holds(readFile(confFile), "\nHTTPPort " + std::to_string(newPort) + "\n"));

    // The daemon keeps its port until it starts again.
    const int oldPort = port;
    restart();
    port = newPort;
    EXPECT_EQ(password, setting("loginPass", cookie));
    EXPECT_EQ(std::to_string(newPort), setting("httpPort", cookie));
    EXPECT_EQ(0, httpExchange(oldPort, httpRequest("GET", "/status")).status);
}

TEST_F(SettingsHttpTest, EachRefusalAnswersItsStatusAndChangesNeitherTheSettingsNorTheFile) {
    struct Case {
        std::string form;
        int status;
    };
    const Case cases[] = {
        {"http_port=65536", 400},       {"http_port=-1", 400},         {"http_port=80o", 400},
        {"http_port=0", 400},           {"http_port=00", 400},
        {"http_port=0x50", 400},        {"rtsp_port=99999999999", 400}, {"rtsp_port=%2B554", 400},
        {"auto_restart=86401", 400},    {"auto_restart=-1", 400},      {"auto_restart=5s", 400},
        {"cpu_affinity=1025", 400},     {"cpu_affinity=1.0", 400},     {"login_pass=a%0Ab", 400},
        {"login_pass=a%0D", 400},       {"login_pass=%1B", 400},       {"login_pass=%FF%FE", 400},
        {"login_pass=" + std::string(1000, 'x'), 413},
        {"autorun=" + std::string(1000, 'x'), 413},
    };
    const std::string before = read().body;
    const std::string saved = readFile(confFile);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.form.substr(0, 40));
        // The first field of a name counts. Applied, the form would clear the log level, the switches and the
        // password and change the RTSP port.
        HttpReply refused = update(c.form + "&rtsp_port=6000&login_pass=secret");
        EXPECT_EQ(c.status, refused.status);
        EXPECT_EQ("text/plain; charset=utf-8", refused.header("content-type"));
        EXPECT_FALSE(refused.body.empty());  // the reason
        EXPECT_EQ(before, read().body);
        EXPECT_EQ(saved, readFile(confFile));
    }
    EXPECT_EQ("HTTP Port must be 1\u201365535", update("http_port=0").body);
    EXPECT_EQ("Auto Restart must be 0\u201386400", update("auto_restart=86401").body);
    EXPECT_EQ(200, update("rtsp_port=6000").status);
    EXPECT_NE(saved, readFile(confFile));  // the check above can see a save
}

TEST_F(SettingsHttpTest, TheDeviceListsAreEmptyAndValidWithoutTheDriverLibraries) {
    HttpReply decklink = get("/decklink_config?output=1");
    EXPECT_EQ(200, decklink.status);
    EXPECT_EQ("application/json", decklink.header("content-type"));
    EXPECT_EQ("no-cache", decklink.header("cache-control"));
    EXPECT_EQ("{ \"devices\": [\n ],\n  \"error\": \"DeckLink driver not installed\"\n}\n", decklink.body);
    EXPECT_TRUE(jsonValid(decklink.body));

    HttpReply ndi = get("/ndi_config?timeout=1");
    EXPECT_EQ(200, ndi.status);
    EXPECT_EQ("application/json", ndi.header("content-type"));
    EXPECT_EQ("{ \"sources\": [\n ],\n  \"error\": \"NDI runtime not found\"\n}\n", ndi.body);
    EXPECT_TRUE(jsonValid(ndi.body));
}

// A password is set in the file; `kSession` is its cookie.
class PasswordSettingsTest : public SettingsHttpTest {
protected:
    static constexpr const char* kSession = "auth=p%FFq";
    std::string settings() const override { return "LoginPass p\xFFq\n"; }
    std::string savedPassword() const {
        std::string saved = readFile(confFile);
        size_t at = saved.find("\nLoginPass ");
        return at == std::string::npos ? "<none>" : saved.substr(at + 11, saved.find('\n', at + 1) - at - 11);
    }
};

TEST_F(PasswordSettingsTest, AFormWithoutThePasswordKeepsItAndOnlyOneSentEmptyClearsIt) {
    // Not UTF-8: the document cannot show it and says so.
    HttpReply document = read(kSession);
    EXPECT_EQ("1", jsonValue(document.body, "[\"loginPassUnshown\"]"));
    EXPECT_EQ("", jsonValue(document.body, "[\"loginPass\"]"));

    // The page's save without the field: the password stays, on disk too,
    // byte for byte, and the session cookie is left alone.
    HttpReply kept = update("log=on&folder_shuffle=on&http_port=" + std::to_string(port), kSession);
    ASSERT_EQ(200, kept.status);
    EXPECT_FALSE(kept.has("set-cookie"));
    EXPECT_EQ("p\xFFq", savedPassword());
    EXPECT_EQ("1", setting("folderShuffle", kSession));
    EXPECT_TRUE(holds(get("/global_config").body, "Login Authentication"));

    HttpReply cleared = update("log=on&login_pass=", kSession);
    ASSERT_EQ(200, cleared.status);
    EXPECT_EQ("auth=; HttpOnly; SameSite=Strict; Path=/", cleared.header("set-cookie"));
    EXPECT_EQ("", savedPassword());
    EXPECT_EQ("0", setting("loginPassUnshown"));
}

TEST_F(AutorunHttpTest, TheBoxShowsTheUnitAndASaveEnablesOrDisablesItOnlyWhenItDiffers) {
    EXPECT_EQ("0", setting("autorun"));
    EXPECT_EQ("1", setting("autorunManaged"));
    EXPECT_EQ("is-enabled orval\nis-enabled orval\n", calls());

    struct Step {
        const char* form;
        const char* calls;
        std::string state;
    };
    const Step steps[] = {
        {"log=on", "is-enabled orval\n", "disabled\n"},  // absent is off, as the unit is
        {"autorun=on", "is-enabled orval\nenable orval\n", "enabled\n"},
        {"autorun=on", "is-enabled orval\n", "enabled\n"},
        {"rtsp_port=6000", "is-enabled orval\ndisable orval\n", "disabled\n"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.form);
        EXPECT_EQ(200, update(step.form).status);
        EXPECT_EQ(step.calls, calls());
        EXPECT_EQ(step.state, state());
        EXPECT_EQ(step.state == "enabled\n" ? "1" : "0", setting("autorun"));
        calls();
    }
    EXPECT_EQ("6000", setting("rtspPort"));
}

// A systemctl that fails or hangs is a failed save: 500, and neither the
// unit nor the settings nor the file change. It runs without the service
// lock, so the status answers meanwhile, and is killed at its time limit.
TEST_F(AutorunHttpTest, ASystemctlThatFailsOrHangsAnswers500AndChangesNothing) {
    const std::string before = read().body;
    const std::string saved = readFile(confFile);
    writeFile(bin + "/fail", "");
    EXPECT_EQ(500, update("autorun=on&rtsp_port=6000").status);
    EXPECT_EQ(before, read().body);
    EXPECT_EQ(saved, readFile(confFile));
    std::filesystem::remove(bin + "/fail");

    // A refused form calls no enable.
    calls();
    EXPECT_EQ(400, update("autorun=on&http_port=abc").status);
    EXPECT_EQ("is-enabled orval\n", calls());

    writeFile(bin + "/hang", "");
    auto begin = Clock::now();
    // The answer comes only once systemctl is killed at its limit, which is
    // the client's usual patience: this one waits longer.
    auto save = std::async(std::launch::async, [&] {
        HttpConnection patient(port, nullptr, 15);
        std::string form = "autorun=on&rtsp_port=6000";
        patient.send(httpRequest("POST", "/global_config",
                                 "Content-Type: application/x-www-form-urlencoded\r\n", form));
        std::optional<HttpReply> reply = patient.read();
        return reply ? reply->status : 0;
    });
    std::this_thread::sleep_for(500ms);
    auto asked = Clock::now();
    EXPECT_EQ(200, get("/status").status);
    EXPECT_LT(Clock::now() - asked, 1000ms);
    ASSERT_EQ(std::future_status::ready, save.wait_for(15s));
    EXPECT_EQ(500, save.get());
    EXPECT_LT(Clock::now() - begin, 15s);
    std::filesystem::remove(bin + "/hang");
    EXPECT_EQ(before, read().body);
    EXPECT_EQ(saved, readFile(confFile));
}

TEST_F(AutorunHttpTest, AnImportNeverCallsSystemctl) {
    calls();
    HttpReply reply = post("/import", multipart(portLine() + "AutoStart 1\n"),
                           "Content-Type: multipart/form-data; boundary=----b0undary\r\n");
    EXPECT_LT(reply.status, 400);
    EXPECT_EQ("", calls());
    EXPECT_EQ("disabled\n", state());
    EXPECT_NE(std::string::npos, readFile(confFile).find("AutoStart 1\n"));
}

// Without systemd, or with its unit unknown, the box is only kept: the
// document shows the stored flag and says so, and no save calls systemctl.
TEST_F(AutorunHttpTest, WhereSystemdDoesNotManageTheUnitTheBoxIsOnlyKept) {
    std::filesystem::remove(root + "/run/systemd/system");
    EXPECT_EQ("1", setting("autorun"));
    EXPECT_EQ("0", setting("autorunManaged"));
    EXPECT_EQ(200, update("log=on").status);
    EXPECT_EQ("0", setting("autorun"));
    EXPECT_EQ("", calls());

    std::filesystem::create_directories(root + "/run/systemd/system");
    for (const char* unknown : {"not-found", "masked", "static"}) {
        SCOPED_TRACE(unknown);
        setState(unknown);
        EXPECT_EQ(200, update("autorun=on").status);
        EXPECT_EQ("1", setting("autorun"));
        EXPECT_EQ("0", setting("autorunManaged"));
        EXPECT_EQ("is-enabled orval\nis-enabled orval\nis-enabled orval\n", calls());
    }
}
