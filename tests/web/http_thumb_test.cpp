// The channels' live thumbnails over real HTTP: what the transcoder left in
// the work folder, never cached, and only while it is recent.
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <string>

#include "web/web_fixture.h"

namespace {

// The start of a JFIF file with a NUL inside: the body is bytes, not text.
const std::string kPicture = std::string("\xff\xd8\xff\xe0\x00\x10JFIF\x00", 11) + std::string(2000, 'p') + "\xff\xd9";

void setAge(const std::string& path, int seconds) {
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = time(nullptr) - seconds;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
}

class ThumbHttpTest : public WebTest {
protected:
    std::string thumbDir = root + "/var/orval/thumb";
    std::string thumbOf(int channel) const {
        char name[32];
        snprintf(name, sizeof name, "/orva_%03d.jpg", channel);
        return thumbDir + name;
    }
    void SetUp() override {
        WebTest::SetUp();
        mkdir(thumbDir.c_str(), 0755);
    }
};

class ThumbLoginTest : public ThumbHttpTest {
protected:
    std::string settings() const override { return "LoginPass secret\n"; }
};

}  // namespace

TEST_F(ThumbHttpTest, ARecentPictureIsServedAsAnUncachedJpeg) {
    writeFile(thumbOf(7), kPicture);
    for (const char* path : {"/thumb7", "/THUMB07", "/thumb7x"}) {
        SCOPED_TRACE(path);
        HttpReply reply = get(path);
        EXPECT_EQ(200, reply.status);
        EXPECT_EQ("image/jpeg", reply.header("content-type"));
        EXPECT_EQ("no-cache", reply.header("cache-control"));
        EXPECT_FALSE(reply.has("expires"));
        EXPECT_EQ(kPicture, reply.body);
    }
    writeFile(thumbOf(64), "last channel");
    EXPECT_EQ("last channel", get("/thumb64").body);
}

TEST_F(ThumbHttpTest, NoPictureAnOldOneAnEmptyOneOrNoChannelAnswer404) {
    writeFile(thumbOf(1), kPicture);
    for (const char* path : {"/thumb2", "/thumb0", "/thumb65", "/thumb", "/thumb-1", "/thumb99999999999"}) {
        SCOPED_TRACE(path);
        HttpReply reply = get(path);
        EXPECT_EQ(404, reply.status);
        EXPECT_EQ("", reply.body);
    }
    // A channel that stopped leaves its last picture behind; it is not shown as live.
    setAge(thumbOf(1), 20);
    EXPECT_EQ(200, get("/thumb1").status);
    setAge(thumbOf(1), 45);
    EXPECT_EQ(404, get("/thumb1").status);
    writeFile(thumbOf(1), "");
    EXPECT_EQ(404, get("/thumb1").status);
    mkdir(thumbOf(2).c_str(), 0755);
    EXPECT_EQ(404, get("/thumb2").status);
}

TEST_F(ThumbLoginTest, WithoutASessionTheLoginPageAnswersInstead) {
    writeFile(thumbOf(3), kPicture);
    HttpReply reply = get("/thumb3");
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ("text/html", reply.header("content-type"));
    EXPECT_EQ(std::string::npos, reply.body.find("JFIF"));
    reply = get("/thumb3", "Cookie: auth=secret\r\n");
    EXPECT_EQ("image/jpeg", reply.header("content-type"));
    EXPECT_EQ(kPicture, reply.body);
}
