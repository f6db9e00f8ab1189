// The management page and the online manual as the daemon serves them: the
// server's pieces in the page, the table with gaps and awkward texts, pages
// far beyond the reply buffer, the warning box and the manual behind the login.
#include <string>
#include <vector>

#include "web/web_fixture.h"

namespace {

// The texts of a cell, as a browser reads them back from the page.
std::string unescapeHtml(const std::string& html) {
    static const std::pair<std::string, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
    std::string text;
    for (size_t i = 0; i < html.size();) {
        bool matched = false;
        for (const auto& [entity, c] : kEntities) {
            if (html.compare(i, entity.size(), entity) == 0) {
                text += c;
                i += entity.size();
                matched = true;
                break;
            }
        }
        if (!matched)
            text += html[i++];
    }
    return text;
}

// The four cells of row N as sent (still escaped); empty when the row is missing.
std::vector<std::string> rowCells(const std::string& page, int number) {
    std::string open = "<tr id=\"row" + std::to_string(number) + "\"";
    size_t start = page.find(open);
    if (start == std::string::npos)
        return {};
    size_t end = page.find("</tr>", start);
    std::vector<std::string> cells;
    for (size_t pos = page.find("<td", start); pos < end; pos = page.find("<td", pos)) {
        size_t text = page.find('>', pos) + 1;
        size_t close = page.find("</td>", text);
        cells.push_back(page.substr(text, close - text));
        pos = close;
    }
    return cells;
}

std::string channelWithMemo(int number, const std::string& source, const std::string& memo) {
    // The memo belongs to the channel's target list.
    std::string block = channelBlock(number, source, 0);
    return block.insert(block.rfind("</Output>"), "Memo \"" + memo + "\"\n");
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + part.size()))
        count++;
    return count;
}

std::string cookie(const std::string& text) { return "Cookie: " + text + "\r\n"; }

constexpr const char* kWarningStart =
    "<div id=\"warning\"><b>CAUTION!</b> ORVAL web interface is INSECURE! Channel configuration "
    "details and HTTP streams could be<br>";
constexpr const char* kWarningEnd =
    "exposed to unexpected streamers over the internet. Please set up web login password in "
    "Global Settings immediately! Until then, any web page you visit in this browser can change "
    "this service too.</div>";

// Markup, quotes, a tab, blanks at both ends, UTF-8, and the marks the page's
// own file uses for the server's pieces.
const std::string kAwkwardSource = "  /media/a <b>&amp; \"q\" 'x'\tend \xC3\x9C\xE2\x9C\x93 @@ROWS@@  ";
const std::string kAwkwardMemo = "</td></tr><script>alert(1)</script> @@WARNING@@";

class PageWithGapsTest : public WebTest {
protected:
    std::string settings() const override {
        return channelWithMemo(1, kAwkwardSource, kAwkwardMemo) +
               channelWithMemo(3, "/media/three.ts", "third");
    }
};

TEST_F(PageWithGapsTest, ListsEveryRowWithTheConfiguredSlotsTextsEscapedAndShownAsStored) {
    HttpReply page = get("/");
    ASSERT_EQ(200, page.status);
    EXPECT_EQ("text/html", page.header("content-type"));
    EXPECT_EQ("no-cache", page.header("pragma"));
    EXPECT_EQ("no-cache", page.header("cache-control"));
    const std::string& body = page.body;
    EXPECT_EQ(0u, body.find("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\""));
    EXPECT_NE(std::string::npos, body.find("content=\"text/html; charset=UTF-8\""));
    EXPECT_NE(std::string::npos,
              body.find("content=\"width=1100, initial-scale=0.7, minimum-scale=0.3, maximum-scale=3.0\""));
    EXPECT_NE(std::string::npos, body.find("<title>Kestova Live!</title>"));
    EXPECT_NE(std::string::npos, body.find("<body onload=\"init()\">"));
    EXPECT_NE(std::string::npos, body.find("Version 5.13.4.1"));
    EXPECT_NE(std::string::npos, body.find("name=\"iframe_hidden\" id=\"iframe_hidden\""));

    std::vector<std::string> first = rowCells(body, 1);
    ASSERT_EQ(4u, first.size());
    EXPECT_EQ("1", first[0]);
    EXPECT_EQ(kAwkwardSource, unescapeHtml(first[1]));
    EXPECT_EQ(kAwkwardMemo, unescapeHtml(first[2]));
    EXPECT_EQ(std::string::npos, first[1].find_first_of("<>\"'"));
    EXPECT_EQ(std::string::npos, first[2].find_first_of("<>\"'"));
    EXPECT_EQ("", first[3]);
    std::vector<std::string> third = rowCells(body, 3);
    ASSERT_EQ(4u, third.size());
    EXPECT_EQ((std::vector<std::string>{"3", "/media/three.ts", "third", ""}), third);
    for (int number : {2, 4, 63, 64}) {
        SCOPED_TRACE(number);
        EXPECT_EQ(std::vector<std::string>(4, ""), rowCells(body, number));
    }
    EXPECT_TRUE(rowCells(body, 65).empty());
    // Stripes by row number, each row with the revision its texts belong to;
    // the texts' marks are not the page's.
    EXPECT_NE(std::string::npos, body.find("<tr id=\"row1\" data-rev=\"0\" style=\"background-color:#6e6e6e\">"));
    EXPECT_NE(std::string::npos, body.find("<tr id=\"row64\" data-rev=\"0\" style=\"background-color:#646464\">"));
    // The marks inside the texts stay texts: no second table, no second warning.
    EXPECT_EQ(4u, countOf(body, "@@"));
    EXPECT_EQ(1u, countOf(body, "id=\"row2\""));
    EXPECT_EQ(1u, countOf(body, "id=\"warning\""));
}

class FullTableTest : public WebTest {
protected:
    // 999 bytes each, the longest the table holds, each byte growing when escaped.
    static std::string source(int number) { return "/" + std::to_string(number) + std::string(996, '&'); }
    static std::string memo() { return std::string(999, '<'); }
    std::string settings() const override {
        std::string blocks;
        for (int number = 1; number <= 64; number++)
            blocks += channelWithMemo(number, source(number), memo());
        return blocks;
    }
};

TEST_F(FullTableTest, ThePageIsCompleteFarBeyondTheReplyBuffer) {
    HttpReply page = get("/");
    ASSERT_EQ(200, page.status);
    EXPECT_GT(page.body.size(), 500000u);
    EXPECT_TRUE(page.body.ends_with("</html>\n"));
    for (int number = 1; number <= 64; number++) {
        SCOPED_TRACE(number);
        std::vector<std::string> cells = rowCells(page.body, number);
        ASSERT_EQ(4u, cells.size());
        EXPECT_EQ(std::to_string(number), cells[0]);
        EXPECT_EQ(source(number).size(), unescapeHtml(cells[1]).size());
        EXPECT_EQ(source(number), unescapeHtml(cells[1]));
        EXPECT_EQ(memo(), unescapeHtml(cells[2]));
    }
    // The boxes and the panel follow the table whole.
    EXPECT_NE(std::string::npos, page.body.find("id=\"boxSettingsOk\"", page.body.find("id=\"row64\"")));
    EXPECT_NE(std::string::npos, page.body.find("id=\"btnApply\"", page.body.find("id=\"row64\"")));
}

TEST_F(WebTest, WithoutAPasswordTheWarningStandsAboveTheTable) {
    std::string body = get("/").body;
    size_t warning = body.find(kWarningStart);
    ASSERT_NE(std::string::npos, warning);
    EXPECT_NE(std::string::npos, body.find(kWarningEnd, warning));
    EXPECT_LT(warning, body.find("<table id=\"channels\""));
    // The settings box shows the access list the server reads.
    size_t field = body.find("id=\"aclFile\"");
    ASSERT_NE(std::string::npos, field);
    size_t tag = body.rfind("<input", field);
    std::string input = body.substr(tag, body.find('>', field) - tag);
    EXPECT_NE(std::string::npos, input.find(" readonly"));
    EXPECT_NE(std::string::npos, input.find(" value=\"" + aclFile + "\""));
}

class PasswordPageTest : public WebTest {
protected:
    std::string settings() const override { return "LoginPass s3cret\n"; }
};

TEST_F(PasswordPageTest, WithAPasswordThereIsNoWarningAndTheManualNeedsTheLogin) {
    HttpReply page = get("/", cookie("auth=s3cret"));
    ASSERT_EQ(200, page.status);
    EXPECT_NE(std::string::npos, page.body.find("<table id=\"channels\""));
    EXPECT_EQ(std::string::npos, page.body.find("CAUTION!"));
    EXPECT_EQ(std::string::npos, page.body.find("id=\"warning\""));

    HttpReply refused = get("/manual.html");
    EXPECT_NE(std::string::npos, refused.body.find("ORVAL Login Authentication"));
    EXPECT_EQ(std::string::npos, refused.body.find("Online Manual"));
    HttpReply manual = get("/Manual.html", cookie("auth=s3cret"));
    EXPECT_EQ(200, manual.status);
    EXPECT_EQ("text/html", manual.header("content-type"));
    for (const char* part : {"<title>Online Manual</title>", "New Channel", "Time shift",
                             "Global settings", "allow ADDRESS[/N]", "m3u8 Playlist (HLS)"}) {
        SCOPED_TRACE(part);
        EXPECT_NE(std::string::npos, manual.body.find(part));
    }
}

}  // namespace
