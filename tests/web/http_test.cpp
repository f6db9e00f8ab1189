// The management server over real HTTP: routing, login, methods, limits,
// bodies and keep-alive, against the daemon.
#include <string>
#include <thread>

#include "web/orva_icons.h"
#include "web/web_fixture.h"

using namespace std::chrono_literals;

namespace {

// The password holds "&", "+" and "%"; the browser sends it form-encoded.
constexpr const char* kPassword = "p&q+r%s";
constexpr const char* kEncoded = "p%26q%2Br%25s";

std::string cookie(const std::string& text) { return "Cookie: " + text + "\r\n"; }

class LoginTest : public WebTest {
protected:
    std::string settings() const override { return std::string("LoginPass ") + kPassword + "\n"; }
};

bool isLoginPage(const HttpReply& reply) {
    return reply.status == 200 && reply.header("content-type") == "text/html" &&
           reply.body.find("<h2>ORVAL Login Authentication</h2>") != std::string::npos &&
           reply.body.ends_with("</html>");
}

bool isIcon(const HttpReply& reply, const ORVA_CGI_FILE& icon) {
    return reply.status == 200 && reply.header("content-type") == "image/png" &&
           reply.header("expires") == "Mon, 31 Dec 2029 12:12:12" &&
           reply.body == std::string(reinterpret_cast<const char*>(icon.pData), icon.nSize);
}

}  // namespace

TEST_F(WebTest, IconsAreServedWhateverTheCaseAndOtherPathsFollowTheTable) {
    for (const ORVA_CGI_FILE& icon : g_cgiFiles) {
        SCOPED_TRACE(icon.pszName);
        EXPECT_TRUE(isIcon(get(std::string("/") + icon.pszName), icon));
    }
    EXPECT_TRUE(isIcon(get("/TERM.Png"), g_cgiFiles[2]));
    HttpReply index = get("/");
    EXPECT_EQ(200, index.status);
    EXPECT_EQ("text/html", index.header("content-type"));
    // No password: "/login" falls through the table like any unknown path.
    for (const char* path : {"/status/", "/global_config/", "/decklink_config/", "/ndi_config2",
                             "/login", "/channel0", "/channel65", "/start.png/", "/nothing"}) {
        SCOPED_TRACE(path);
        HttpReply reply = get(path);
        EXPECT_EQ(404, reply.status);
        EXPECT_EQ("", reply.body);
    }
    for (const char* path : {"/Global_Config", "/DECKLINK_CONFIG", "/Ndi_Config?timeout=1"}) {
        SCOPED_TRACE(path);
        HttpReply reply = get(path);
        EXPECT_EQ(200, reply.status);
        EXPECT_EQ("application/json", reply.header("content-type"));
    }
}

TEST_F(WebTest, MethodsOtherThanGetAndPostGetNoReply) {
    for (const char* method : {"HEAD", "PUT", "DELETE", "OPTIONS"}) {
        SCOPED_TRACE(method);
        HttpConnection connection(port);
        ASSERT_TRUE(connection.send(httpRequest(method, "/start.png")));
        EXPECT_TRUE(connection.closedSilently());
    }
}

TEST_F(WebTest, GetRepliesKeepTheConnectionOpenForTheNextRequest) {
    HttpConnection connection(port);
    for (const char* path : {"/start.png", "/", "/nothing", "/stop.png"}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(connection.send(httpRequest("GET", path)));
        std::optional<HttpReply> reply = connection.read();
        ASSERT_TRUE(reply);
        EXPECT_NE("close", reply->header("connection"));
    }
}

TEST_F(WebTest, TextsBeyondTheirLimitsAreRefusedWhole) {
    // Argument and cookie texts hold 999 characters, a body 99,999.
    EXPECT_EQ(200, get("/start.png?x=" + std::string(997, 'a')).status);
    EXPECT_EQ(413, get("/start.png?x=" + std::string(998, 'a')).status);
    EXPECT_EQ(200, get("/start.png", cookie("x=" + std::string(997, 'a'))).status);
    HttpReply refused = get("/start.png", cookie("x=" + std::string(998, 'a')));
    EXPECT_EQ(413, refused.status);
    EXPECT_EQ("", refused.body);
    EXPECT_EQ(404, post("/nothing", std::string(99999, 'a')).status);
    EXPECT_EQ(413, post("/nothing", std::string(100000, 'a')).status);
}

TEST_F(LoginTest, WithoutASessionEveryPathGetsTheLoginPage) {
    for (const char* path : {"/", "/status", "/start.png", "/orval.conf", "/channel1", "/nothing"}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(isLoginPage(get(path)));
        EXPECT_TRUE(isLoginPage(get(path, cookie("auth=P%26Q%2BR%25S"))));  // case matters
    }
    HttpReply page = get("/");
    EXPECT_EQ(0u, page.body.find("<html lang=\"en\">\n<head>\n<title>Kestova Live!</title>\n</head>\n<body>\n"));
}

TEST_F(LoginTest, TheLoginCookieCarriesTheEncodedPasswordAndOpensTheSession) {
    HttpReply login = post("/Login", std::string("auth=") + kEncoded);
    EXPECT_EQ(301, login.status);
    EXPECT_EQ("/", login.header("location"));
    // Kept from scripts and from other sites' requests.
    EXPECT_EQ(std::string("auth=") + kEncoded + "; HttpOnly; SameSite=Strict; Path=/",
              login.header("set-cookie"));
    EXPECT_EQ("", login.body);
    std::string session = std::string("auth=") + kEncoded;
    EXPECT_TRUE(isIcon(get("/start.png", cookie(session)), g_cgiFiles[0]));
    EXPECT_TRUE(isIcon(get("/start.png", cookie("lang=en; " + session + "; theme=dark")), g_cgiFiles[0]));
    EXPECT_EQ(301, post("/login", std::string("&&auth=") + kEncoded + "&y=1").status);

    // A wrong password answers the login page again, saying so, and sets no cookie.
    for (const char* body : {"auth=wrong", "auth=P%26Q%2BR%25S", "auth=p%26q%2Br%25"}) {
        SCOPED_TRACE(body);
        HttpReply wrong = post("/login", body);
        EXPECT_TRUE(isLoginPage(wrong));
        EXPECT_NE(std::string::npos, wrong.body.find("Wrong password"));
        EXPECT_FALSE(wrong.has("set-cookie"));
    }
    // The form's field has a label.
    EXPECT_NE(std::string::npos, get("/").body.find("<label for=\"auth\">Password</label>"));
    EXPECT_EQ(std::string::npos, get("/").body.find("Wrong password"));
}

TEST_F(LoginTest, ALoginWhoseFirstFieldIsNotAuthSetsNoCookie) {
    for (const char* body : {"x=1&auth=p%26q%2Br%25s", "", "Auth=x"}) {
        SCOPED_TRACE(body);
        HttpReply login = post("/login", body);
        EXPECT_EQ(301, login.status);
        EXPECT_FALSE(login.has("set-cookie"));
    }
    // The cookie text holds 999 characters: "auth=" and 994 more.
    EXPECT_TRUE(isLoginPage(post("/login", "auth=" + std::string(994, 'a'))));
    EXPECT_EQ(413, post("/login", "auth=" + std::string(995, 'a')).status);
}

TEST_F(LoginTest, ABodyInManyChunksReachesTheLoginWhole) {
    std::string body = std::string("auth=") + kEncoded + "&rest=" + std::string(900, 'c');
    std::string request = httpRequest("POST", "/login", "", body);
    HttpConnection connection(port);
    ASSERT_TRUE(connection.send(request.substr(0, request.size() - body.size())));
    for (size_t at = 0; at < body.size(); at += 50) {
        ASSERT_TRUE(connection.send(body.substr(at, 50)));
        std::this_thread::sleep_for(2ms);
    }
    std::optional<HttpReply> reply = connection.read();
    ASSERT_TRUE(reply);
    EXPECT_EQ(0u, reply->header("set-cookie").find(std::string("auth=") + kEncoded + ";"));
}

TEST_F(LoginTest, TwoUploadsInProgressDoNotMix) {
    // The right password, and a wrong one that begins like it.
    std::string bodies[2] = {std::string("auth=") + kEncoded + "&x=" + std::string(600, 'a'),
                             std::string("auth=") + kEncoded + std::string(600, 'b')};
    HttpConnection first(port), second(port);
    HttpConnection* connections[2] = {&first, &second};
    for (int i : {0, 1})
        ASSERT_TRUE(connections[i]->send(httpRequest("POST", "/login", "", bodies[i]).substr(0, 300)));
    std::this_thread::sleep_for(50ms);
    for (int i : {1, 0}) {
        std::string whole = httpRequest("POST", "/login", "", bodies[i]);
        ASSERT_TRUE(connections[i]->send(whole.substr(300)));
    }
    std::optional<HttpReply> right = first.read();
    std::optional<HttpReply> wrong = second.read();
    ASSERT_TRUE(right && wrong);
    EXPECT_EQ(301, right->status);
    EXPECT_TRUE(isLoginPage(*wrong));
}
