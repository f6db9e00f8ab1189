// The bounded text cursor never writes past its buffer and reports every cut.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/orva_text.h"

TEST(TextCursor, AppendsWhileThereIsRoomAndReportsTheFirstCut) {
    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    TextCursor t(buffer, sizeof buffer);
    append(t, "abc");
    appendf(t, "%d", 42);
    EXPECT_FALSE(t.truncated);
    EXPECT_EQ("abc42", t.view());
    append(t, "6789");
    EXPECT_TRUE(t.truncated);
    EXPECT_STREQ("abc4267", buffer);  // cut at the last byte, still terminated
    append(t, "more");
    appendf(t, "%s", "more");
    EXPECT_STREQ("abc4267", buffer);
    EXPECT_EQ(7u, t.length());
}

TEST(TextCursor, FormattedTextThatDoesNotFitIsCutAndReported) {
    char buffer[6];
    TextCursor t(buffer, sizeof buffer);
    appendf(t, "-v %d ", 123456);
    EXPECT_TRUE(t.truncated);
    EXPECT_STREQ("-v 12", buffer);
    EXPECT_TRUE(t.holds("v 1"));
    EXPECT_FALSE(t.holds("3"));
}

TEST(TextCursor, CopyTextTellsWhetherTheWholeTextFitted) {
    char small[4];
    EXPECT_TRUE(copyText(small, "abc"));
    EXPECT_FALSE(copyText(small, "abcd"));
    EXPECT_STREQ("abc", small);
}

// A form field or cookie that is absent arrives as an empty view with no data:
// it copies as an empty text, and the sanitizer build sees no null memcpy source.
TEST(TextCursor, AnEmptyViewWithoutDataCopiesAsAnEmptyText) {
    char field[4] = "old";
    EXPECT_TRUE(copyText(field, std::string_view()));
    EXPECT_STREQ("", field);
    TextCursor t(field, sizeof field);
    append(t, "ab");
    append(t, std::string_view());
    EXPECT_FALSE(t.truncated);
    EXPECT_STREQ("ab", field);
}

// The numbers of a command line: the same bytes as printf in the C locale,
// for the quality scales, bitrate tolerances and frame rates the composer writes.
TEST(TextCursor, NumbersAreWrittenAsPrintfWritesThemInTheCLocale) {
    std::vector<double> values = {0, -0.0, 0.05, 0.25, 0.35, 1, 12.5, 23.976f, 29.97f, 59.94f,
                                  100001, 1e-7, 123456789, 1e300, -2.5, 0.1f};
    for (int quality = 1; quality <= 100; quality++)
        values.push_back(static_cast<float>(1 - quality) * 68.0f / 99.0f + 69.0f);
    for (int tenths = 1; tenths <= 2400; tenths += 7)
        values.push_back(static_cast<float>(tenths) / 10.0f);
    for (int rate : {1, 999, 3000, 65535})
        for (float fps : {7.5f, 12.5f, 23.976f, 29.97f, 60.0f})
            values.push_back(static_cast<float>(rate) * 1000.0f / fps + 1.0f);
    for (double value : values) {
        SCOPED_TRACE(testing::Message() << value);
        for (int decimals : {0, 1, 3}) {
            char expected[512];
            snprintf(expected, sizeof expected, "%.*f", decimals, value);
            char buffer[512];
            TextCursor t(buffer, sizeof buffer);
            appendFixed(t, value, decimals);
            EXPECT_EQ(std::string(expected), t.view());
        }
        char expected[64];
        snprintf(expected, sizeof expected, "%g", value);
        char buffer[64];
        TextCursor t(buffer, sizeof buffer);
        appendGeneral(t, value);
        EXPECT_EQ(std::string(expected), t.view());
    }
}

TEST(TextCursor, ANumberThatDoesNotFitIsCutAndReported) {
    char buffer[5];
    TextCursor t(buffer, sizeof buffer);
    appendFixed(t, 12345.5, 1);
    EXPECT_TRUE(t.truncated);
    EXPECT_STREQ("1234", buffer);
}
