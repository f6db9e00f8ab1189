// The access list, the logo, and the configuration download and import over
// real HTTP against the daemon.
#include <string>

#include "web/web_fixture.h"

namespace {

// One channel that is not to run, and settings that differ from the start.
std::string uploadedConfiguration(int port) {
    return "# Kestova Configuration File\n\nHTTPPort " + std::to_string(port) +
           "\nLoginPass n3w\n\n<Channel1>\nEnable 0\n<Input>\nNumInputs 1\n<Input1>\n"
           "Format file\nFile \"/media/uploaded.ts\"\n</Input1>\n</Input>\n<Output>\n"
           "NumOutputs 1\n<Output1>\nFormat udpts\nVideoEnable 1\nVideoCodec H264\n"
           "File \"udp://127.0.0.1:5000\"\n</Output1>\n</Output>\n</Channel1>\n";
}

}  // namespace

TEST_F(WebTest, TheAccessListIsReadAfreshForEveryRequest) {
    struct Step { const char* list; bool denied; };
    const Step steps[] = {
        {nullptr, false},                                        // no file
        {"deny 127.0.0.1\nallow 0.0.0.0/0\n", true},
        {"allow 127.0.0.0/8\ndeny 0.0.0.0/0\n", false},
        {"deny 127.0.0.2/8\n", false},                           // starts above the client
        {"deny 126.255.255.255/8\n", true},
        {"", false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.list ? step.list : "(no file)");
        if (step.list)
            writeFile(aclFile, step.list);
        EXPECT_EQ(step.denied ? 403 : 200, get("/start.png").status);
        EXPECT_EQ(step.denied ? 403 : 404, post("/login", "auth=x").status);  // no password set
    }
}

TEST_F(WebTest, TheLogoComesFromTheProgramFolderUpTo999999Bytes) {
    std::string logo = dir / "bin/orvaoem.png";
    EXPECT_EQ(404, get("/orvaoem.png").status);
    writeFile(logo, std::string(999999, 'L'));
    HttpReply reply = get("/ORVAOEM.PNG");
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ("image/png", reply.header("content-type"));
    EXPECT_EQ("Mon, 31 Dec 2029 12:12:12", reply.header("expires"));
    EXPECT_EQ(std::string(999999, 'L'), reply.body);
    writeFile(logo, std::string(1000000, 'L'));
    EXPECT_EQ(404, get("/orvaoem.png").status);
    writeFile(logo, "");
    EXPECT_EQ(404, get("/orvaoem.png").status);
}

TEST_F(WebTest, TheDownloadSendsTheConfigurationFileUpTo999999Bytes) {
    std::string big = "# Kestova Configuration File\n" + std::string(999999 - 29, '#');
    writeFile(confFile, big);
    HttpReply reply = get("/orval.conf");
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ("application/octet-stream", reply.header("content-type"));
    EXPECT_FALSE(reply.has("expires"));
    EXPECT_EQ(big, reply.body);
    writeFile(confFile, big + "#");
    EXPECT_EQ(404, get("/orval.conf").status);
}

TEST_F(WebTest, AnImportedUploadIsTakenAndTheFileRewrittenClean) {
    HttpReply reply = post("/import", multipart(uploadedConfiguration(port)),
                           "Content-Type: multipart/form-data; boundary=----b0undary\r\n");
    EXPECT_EQ(301, reply.status);
    EXPECT_EQ("/", reply.header("location"));
    std::string saved = readFile(confFile);
    EXPECT_EQ(0u, saved.find("# Kestova Configuration File\n"));
    EXPECT_EQ(std::string::npos, saved.find("b0undary"));
    EXPECT_EQ(std::string::npos, saved.find("Content-"));
    EXPECT_NE(std::string::npos, saved.find("/media/uploaded.ts"));
    EXPECT_NE(std::string::npos, saved.find("LoginPass n3w\n"));
    // The imported password applies to the very next request.
    EXPECT_NE(std::string::npos, get("/").body.find("ORVAL Login Authentication"));
    EXPECT_EQ(saved, get("/orval.conf", "Cookie: auth=n3w\r\n").body);
}

TEST_F(WebTest, AnEmptyOrUnusableImportIsRefusedAndLeavesTheFileAsItIs) {
    std::string before = readFile(confFile);
    ASSERT_FALSE(before.empty());
    HttpReply empty = post("/import", "");
    EXPECT_EQ(400, empty.status);
    EXPECT_EQ("text/plain; charset=utf-8", empty.header("content-type"));
    EXPECT_EQ("Nothing was uploaded: nothing was imported", empty.body);
    EXPECT_EQ(400, get("/import").status);
    // A multipart upload of a file without one configuration line.
    HttpReply unusable = post("/import", multipart("hello\n<Channel>\nEnable 1\n"),
                              "Content-Type: multipart/form-data; boundary=----b0undary\r\n");
    EXPECT_EQ(400, unusable.status);
    EXPECT_EQ("The upload holds no configuration line: nothing was imported", unusable.body);
    EXPECT_EQ(before, readFile(confFile));
}
