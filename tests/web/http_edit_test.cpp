// The channel edit over real HTTP against the daemon: each value reaches the
// table, the read document, the saved file and the transcoder exactly as the
// operator typed it, or the edit is refused and nothing changes.
#include <filesystem>
#include <string>

#include "web/web_fixture.h"
#include "web/xml_check.h"

using namespace std::chrono_literals;

namespace {

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Channel 1 is configured and stays stopped until a test starts it.
class EditHttpTest : public WebTest {
protected:
    std::string settings() const override { return "\n" + channelBlock(1, dir / "in.ts", 0); }
    void SetUp() override {
        writeFile(dir / "in.ts", "");
        WebTest::SetUp();
    }
    std::string document() const { return get("/channel1").body; }
    std::string value(const std::string& xpath) const {
        return xmlString(document(), xpath).value_or("<does not parse>");
    }
    // The one line the fake transcoder was started with; empty until then.
    std::string commandLine() const { return readFile(dir / "bin/line.txt"); }
};

}  // namespace

TEST_F(EditHttpTest, EachFieldIsFoundWholeAndDecodedOnceOnItsWayToTheTranscoder) {
    // A source address ending in "?bar=1", then the field "ar".
    const std::string source = dir / "in.ts?bar=1";
    const std::string target = dir / "a+b.m3u8";
    writeFile(source, "");
    HttpReply edit = post("/channel1", "sfmt=file&surl=" + (dir / "in.ts%3Fbar%3D1") +
                                       "&ar=48000&tfmt=hls&turl=" + (dir / "a%2Bb.m3u8") +
                                       "&tparam=-headers+a%26b&ev=on&cv=H264&ea=on&ca=AAC");
    ASSERT_EQ(200, edit.status);
    EXPECT_EQ(source, value("/root/source/url"));
    EXPECT_EQ("48000", value("/root/targets/target/@srate"));
    EXPECT_EQ("\n" + target + "\n", value("/root/targets/target"));
    EXPECT_EQ("-headers a&b", value("/root/targets/param"));

    std::string saved = readFile(confFile);
    EXPECT_TRUE(holds(saved, source)) << saved;
    EXPECT_TRUE(holds(saved, target)) << saved;
    EXPECT_TRUE(holds(saved, "-headers a&b")) << saved;

    ASSERT_EQ(200, get("/channel1?start").status);
    ASSERT_TRUE(waitUntil([&] { return !commandLine().empty(); }, 5s));
    std::string line = commandLine();
    EXPECT_TRUE(holds(line, "-headers a&b")) << line;
    EXPECT_TRUE(holds(line, target)) << line;
    EXPECT_TRUE(holds(line, source)) << line;
    EXPECT_TRUE(holds(line, "48000")) << line;
}

TEST_F(EditHttpTest, TextsWithMarkupReadBackExactlyFromTheParsedDocument) {
    ASSERT_EQ(200, post("/channel1", "memo=a%3Cb&tvparam=-vf+%22drawtext%3Dtext%3D%27x%27%22"
                                     "&rtmpuser=%3E%26%22%27&sparam=-x+%22a%3Cb%22"
                                     "&fparam=h%C3%A9%09%E2%82%AC").status);
    std::string doc = document();
    ASSERT_TRUE(xmlWellFormed(doc)) << doc;
    EXPECT_EQ("a<b", xmlString(doc, "/root/targets/memo"));
    EXPECT_EQ("-vf \"drawtext=text='x'\"", xmlString(doc, "/root/targets/target/@tvparam"));
    EXPECT_EQ(">&\"'", xmlString(doc, "/root/targets/target/@rtmpuser"));
    EXPECT_EQ("-x \"a<b\"", xmlString(doc, "/root/source/param"));
    EXPECT_EQ("h\xC3\xA9\t\xE2\x82\xAC", xmlString(doc, "/root/targets/format"));
}

TEST_F(EditHttpTest, ARefusedEditAnswers400AndChangesNeitherTheTableNorTheFile) {
    ASSERT_EQ(200, post("/channel1", "memo=kept&vx=640&tslen=60").status);
    const std::string before = document();
    const std::string saved = readFile(confFile);
    ASSERT_TRUE(holds(before, "<memo>kept</memo>"));
    const char* bad[] = {
        "memo=a%0Ab",         "memo=line%0D%0AFile+%2Fetc%2Fpasswd", "sparam=a%00b",
        "tparam=%1B",         "memo=%C3%28",                         "rtmppass=%FF",
        "vx=12q",             "vx=1.5",                              "muxbr=2147483648",
        "tslen=86401",        "tslen=-1",                            "vr=-25",
        "vr=1e2",             "vr=29%2C97",                          "tvparam=-map+0%3Av",
        "stimeout=100",       "stimeout=10001",                      "ablack=3601",
        "afreeze=-1",         "asilent=5s",                          "bsrc=%0D",
    };
    for (const char* field : bad) {
        SCOPED_TRACE(field);
        HttpReply reply = post("/channel1", std::string("kfi=50&fparam=changed&") + field);
        EXPECT_EQ(400, reply.status);
        // A reason the page shows the operator, naming the field.
        EXPECT_EQ("text/plain; charset=utf-8", reply.header("content-type"));
        EXPECT_FALSE(reply.body.empty());
        EXPECT_EQ(before, document());
        EXPECT_EQ(saved, readFile(confFile));
    }
    EXPECT_EQ("Frame width must be a whole number from -2147483648 to 2147483647",
              post("/channel1", "vx=12q").body);
    EXPECT_EQ("Time Shift delay must be a whole number from 0 to 86400", post("/channel1", "tslen=86401").body);
    EXPECT_EQ("Memo may not hold a line break or another control character", post("/channel1", "memo=a%0Ab").body);
    HttpReply tooLong = post("/channel1", "vy=720&memo=" + std::string(1000, 'x'));
    EXPECT_EQ(413, tooLong.status);
    EXPECT_EQ("Memo is longer than 999 characters", tooLong.body);
    EXPECT_EQ(before, document());
    EXPECT_EQ(saved, readFile(confFile));
}
