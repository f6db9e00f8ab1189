// The bounded text cursor never writes past its buffer and reports every cut.
#include <gtest/gtest.h>

#include <cstring>

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
