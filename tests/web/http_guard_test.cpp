// What keeps the management server from being turned against its operator,
// over real HTTP against the daemon: changes sent by another site's page are
// refused, guessing the password makes the guesser's address wait, and with
// a certificate in place the server speaks only HTTPS.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "web/web_fixture.h"

namespace {

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        count++;
    return count;
}

// One request from the loopback address `source`, with the Host a browser
// sends and any further headers; status 0 when no reply came.
HttpReply exchangeFrom(const char* source, int port, const std::string& method,
                       const std::string& path, const std::string& headers,
                       const std::string& body = "") {
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                          std::to_string(port) + "\r\n" + headers;
    if (method == "POST")
        request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n";
    HttpConnection connection(port, source);
    if (!connection.send(request + "\r\n" + body))
        return {};
    return connection.read().value_or(HttpReply{});
}

class CrossSiteTest : public WebTest {
protected:
    std::string settings() const override {
        return channelBlock(1, dir / "in1.ts", 0) + channelBlock(2, dir / "in2.ts", 0);
    }
    std::string self() const { return "http://127.0.0.1:" + std::to_string(port); }
    HttpReply send(const std::string& method, const std::string& path, const std::string& headers,
                   const std::string& body = "") const {
        return exchangeFrom("127.0.0.1", port, method, path, headers, body);
    }
};

}  // namespace

TEST_F(CrossSiteTest, ChangesFromAnotherSitesPageAreRefusedAndChangeNothing) {
    const std::string file = readFile(confFile);
    const std::string settingsDocument = get("/global_config").body;
    const std::string foreign[] = {
        "Origin: http://evil.example\r\n",
        "Origin: null\r\n",
        "Referer: http://evil.example/form.html\r\n",
        "Origin: http://127.0.0.1:" + std::to_string(port + 1) + "\r\n",
        // An Origin decides even when the Referer names this server.
        "Origin: http://evil.example\r\nReferer: " + self() + "/\r\n",
    };
    struct Change {
        const char* method;
        const char* path;
        const char* body;
    };
    const Change changes[] = {
        {"POST", "/global_config", "login_pass=&log=on&auto_restart=9"},
        {"POST", "/channel1", "memo=hijacked"},
        {"POST", "/channel3", "sfmt=file&surl=%2Ftmp%2Fx&tfmt=udpts&turl=udp%3A%2F%2Fh%3A1"},
        {"GET", "/channel1?remove", ""},
        {"GET", "/channel2?start", ""},
        {"POST", "/import", "AutoRestart 9\r\n"},
        {"POST", "/login", "auth=x"},
    };
    for (const std::string& headers : foreign) {
        for (const Change& change : changes) {
            SCOPED_TRACE(headers + change.method + " " + change.path);
            HttpReply refused = send(change.method, change.path, headers, change.body);
            EXPECT_EQ(403, refused.status);
            EXPECT_EQ("text/plain; charset=utf-8", refused.header("content-type"));
            EXPECT_TRUE(holds(refused.body, "Refused")) << refused.body;
        }
    }
    EXPECT_EQ(file, readFile(confFile));
    EXPECT_EQ(settingsDocument, get("/global_config").body);
    EXPECT_EQ(0u, occurrences(get("/status").body, "<state>start</state>"));

    // Reads from any page are answered; changes from this server's own page,
    // or from a client that names no page, are taken.
    EXPECT_EQ(200, send("GET", "/channel1", "Origin: http://evil.example\r\n").status);
    EXPECT_EQ(200, send("POST", "/channel1", "Origin: " + self() + "\r\n", "memo=own").status);
    EXPECT_EQ(200, send("POST", "/channel2", "Referer: " + self() + "/\r\n", "memo=own2").status);
    EXPECT_EQ(200, send("POST", "/global_config", "", "log=on").status);
    EXPECT_TRUE(holds(readFile(confFile), "\"own\""));
    EXPECT_TRUE(holds(readFile(confFile), "\"own2\""));
}

namespace {

// The password "right"; its cookie is "auth=right".
class LoginLimitTest : public WebTest {
protected:
    std::string settings() const override { return "LoginPass right\n"; }
    HttpReply login(const char* source, const std::string& password) const {
        return exchangeFrom(source, port, "POST", "/login", "", "auth=" + password);
    }
    HttpReply withCookie(const char* source, const std::string& cookie) const {
        return exchangeFrom(source, port, "GET", "/status", "Cookie: " + cookie + "\r\n");
    }
};

}  // namespace

TEST_F(LoginLimitTest, FiveWrongPasswordsMakeOnlyTheGuessersAddressWait) {
    // A page polling with an old cookie never shuts its address out.
    for (int i = 0; i < 12; i++)
        ASSERT_EQ(200, withCookie("127.0.0.3", "auth=old").status) << i;

    for (int i = 0; i < 5; i++) {
        HttpReply wrong = login("127.0.0.2", "guess" + std::to_string(i));
        ASSERT_EQ(200, wrong.status) << i;
        EXPECT_TRUE(holds(wrong.body, "Wrong password"));
    }
    // Now the address waits, whatever it sends: the right password, a cookie.
    for (int i = 0; i < 3; i++) {
        for (const HttpReply& refused : {login("127.0.0.2", "right"), withCookie("127.0.0.2", "auth=right")}) {
            EXPECT_EQ(429, refused.status);
            int retryAfter = std::atoi(refused.header("retry-after").c_str());
            EXPECT_GE(retryAfter, 1);
            EXPECT_LE(retryAfter, 15);
        }
    }
    // Every other address goes on as before.
    HttpReply other = login("127.0.0.1", "right");
    EXPECT_EQ(301, other.status);
    EXPECT_TRUE(holds(other.header("set-cookie"), "auth=right;"));
    HttpReply status = withCookie("127.0.0.3", "auth=right");
    EXPECT_EQ(200, status.status);
    EXPECT_FALSE(holds(status.body, "Login Authentication"));

    // Six refusals, one line in the service log.
    const std::string log = readFile(root + "/var/orval/log/orval.log");
    EXPECT_EQ(1u, occurrences(log, "login refused for 127.0.0.2")) << log;
    EXPECT_EQ(0u, occurrences(log, "login refused for 127.0.0.3"));
}

namespace {

// A certificate for 127.0.0.1 in the configuration folder before the start.
class HttpsTest : public WebTest {
protected:
    std::string tls = root + "/etc/orval/tls";
    void SetUp() override {
        std::filesystem::create_directories(tls);
        std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                           "-addext subjectAltName=IP:127.0.0.1 -keyout '" + tls + "/key.pem' -out '" +
                           tls + "/cert.pem' >/dev/null 2>&1";
        ASSERT_EQ(0, std::system(make.c_str()));
        WebTest::SetUp();
    }
    // curl's output: the status, then the body.
    std::string curl(const std::string& arguments) const {
        std::string out = dir / "curl.txt";
        std::string command = "curl -s --max-time 5 --cacert '" + tls + "/cert.pem' -o '" + out +
                              "' -w '%{http_code}' " + arguments + " > '" + out + ".code'";
        if (std::system(command.c_str()) != 0)
            return "failed";
        return readFile(out + ".code") + " " + readFile(out);
    }
};

}  // namespace

TEST_F(HttpsTest, WithACertificateTheServerSpeaksHttpsOnItsPortAndNoPlainHttp) {
    const std::string base = "https://127.0.0.1:" + std::to_string(port);
    std::string status = curl(base + "/status");
    EXPECT_EQ(0u, status.find("200 <root>")) << status;
    // A change from the server's own page, and one from another site.
    EXPECT_EQ(0u, curl("-H 'Origin: " + base + "' -d memo=x " + base + "/channel1").find("200"));
    EXPECT_EQ(0u, curl("-H 'Origin: http://127.0.0.1:" + std::to_string(port) + "' -d memo=x " + base +
                       "/channel1").find("403"));
    EXPECT_EQ(0, get("/status").status);  // plain HTTP gets no reply
    EXPECT_TRUE(holds(readFile(root + "/var/orval/log/orval.log"), "speaks HTTPS"));
    EXPECT_TRUE(outputHolds("out.txt", "accessible at https://127.0.0.1:" + std::to_string(port)));
}

TEST_F(DaemonTest, ACertificateWithoutItsKeyStopsTheStartRatherThanServePlainHttp) {
    std::filesystem::create_directories(root + "/etc/orval/tls");
    writeFile(root + "/etc/orval/tls/cert.pem", "not used");
    EXPECT_NE(0, run("out.txt"));
    EXPECT_TRUE(outputHolds("out.txt", "ORVAL cannot listen on port " + std::to_string(httpPort)));
    EXPECT_TRUE(holds(readFile(root + "/var/orval/log/orval.log"), "HTTPS needs both"));
    EXPECT_EQ(0, httpExchange(httpPort, httpRequest("GET", "/status")).status);
}
