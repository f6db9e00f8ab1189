// The form field reader and the XML escaper: how an operator's text gets in
// and how it goes out again.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "engine/orva_text.h"
#include "web/orva_form.h"
#include "web/orva_xml.h"
#include "web/xml_check.h"

using namespace std::string_literals;

namespace {

// The value of `name` as the reader gives it; "<missing>" or "<too long>" otherwise.
std::string valueOf(std::string_view form, std::string_view name, size_t room = 1000) {
    std::string buffer(room, '\0');
    TextCursor out(buffer.data(), buffer.size());
    switch (orvaFormValue(form, name, out)) {
    case ORVA_FORM_FOUND: return std::string(out.view());
    case ORVA_FORM_MISSING: return "<missing>";
    default: return "<too long>";
    }
}

std::string escaped(std::string_view text, size_t room = 100000) {
    std::string buffer(room, '\0');
    TextCursor out(buffer.data(), buffer.size());
    orvaXmlEscape(out, text);
    EXPECT_FALSE(out.truncated);
    return std::string(out.view());
}

const std::string kReplacement = "\xEF\xBF\xBD";

}  // namespace

TEST(FormReader, MatchesANameOnlyWholeAndTakesItsFirstField) {
    struct Case { const char* form; const char* name; std::string value; };
    const Case cases[] = {
        // A value ending in "bar=1" does not hide the field "ar" after it.
        {"surl=udp%3A%2F%2Fh%3Fbar%3D1&ar=48000", "ar", "48000"},
        {"surl=http://h/?bar=1&ar=48000", "ar", "48000"},
        {"xar=1&memo=ar=5", "ar", "<missing>"},
        {"ar=1&ar=2", "ar", "1"},                  // a repeated name: the first counts
        {"AR=1", "ar", "<missing>"},               // names keep their case
        {"ar=&vx=5", "ar", ""}, {"vx=5&ar", "ar", ""},  // empty, and a bare name
        {"&&ar=7&", "ar", "7"},
        {"memo=a=b=c", "memo", "a=b=c"},           // only the first "=" splits
        {"", "ar", "<missing>"},
        {"ar%3D1", "ar", "<missing>"},             // an escaped "=" is no separator
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.form);
        EXPECT_EQ(c.value, valueOf(c.form, c.name));
    }
}

TEST(FormReader, DecodesEachValueExactlyOnce) {
    struct Case { const char* encoded; std::string decoded; };
    const Case cases[] = {
        {"a%2Bb.m3u8", "a+b.m3u8"},
        {"-headers+a%26b", "-headers a&b"},
        {"a+b", "a b"},
        {"%2525", "%25"},                          // a decoded "%" starts nothing more
        {"%4a%4A", "JJ"},
        {"100%", "100%"}, {"%zz%2", "%zz%2"}, {"%", "%"}, {"%%41", "%A"}, {"%4", "%4"},
        {"a%00b", "a\0b"s},                        // NUL is a byte like any other here
        {"%C3%A9t%C3%A9", "\xC3\xA9t\xC3\xA9"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoded);
        EXPECT_EQ(c.decoded, valueOf("x=1&v="s + c.encoded + "&y=2", "v"));
    }
}

TEST(FormReader, RefusesAValueBeyondItsBufferAndCountsAnEscapeAsOneCharacter) {
    EXPECT_EQ("abc", valueOf("v=abc", "v", 4));
    EXPECT_EQ("<too long>", valueOf("v=abcd", "v", 4));
    EXPECT_EQ("AAA", valueOf("v=%41%41%41", "v", 4));
    EXPECT_EQ(7u, orvaFormDecodedLength("v=%41+%4&"));
    EXPECT_EQ(0u, orvaFormDecodedLength(""));
}

TEST(FormReader, WalksTheFieldsInOrderWithTheirValuesStillEncoded) {
    OrvaFormReader reader("&auth=a%26b&flag&&e=");
    OrvaFormField field;
    ASSERT_TRUE(reader.next(field));
    EXPECT_EQ("auth", field.name);
    EXPECT_EQ("a%26b", field.value);
    EXPECT_TRUE(field.hasValue);
    ASSERT_TRUE(reader.next(field));
    EXPECT_EQ("flag", field.name);
    EXPECT_FALSE(field.hasValue);
    ASSERT_TRUE(reader.next(field));
    EXPECT_EQ("e", field.name);
    EXPECT_EQ("", field.value);
    EXPECT_TRUE(field.hasValue);
    EXPECT_FALSE(reader.next(field));
}

TEST(XmlEscape, WritesEntitiesAndReferencesAndKeepsWellFormedUtf8) {
    struct Case { std::string text; std::string xml; };
    const Case cases[] = {
        {"a\"b&c'd<e>f", "a&quot;b&amp;c&apos;d&lt;e&gt;f"},
        {"tab\tlf\ncr\r", "tab&#9;lf&#10;cr&#13;"},
        {"h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xAC \xC2\x85", "h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xAC \xC2\x85"},
        {"plain -c:v libx264", "plain -c:v libx264"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.xml, escaped(c.text));
    }
}

TEST(XmlEscape, ControlCharactersAndBytesThatAreNotUtf8BecomeTheReplacementCharacter) {
    struct Case { std::string text; int replacements; };
    const Case cases[] = {
        {"\x01", 1}, {"\x1f", 1}, {"\x7f", 1}, {"\0"s, 1},
        {"\xff", 1}, {"\x80", 1},                  // no lead byte
        {"\xC3", 1}, {"\xE2\x82", 2},              // cut sequences
        {"\xC0\xAF", 2}, {"\xE0\x80\xAF", 3},      // overlong forms
        {"\xED\xA0\x80", 3},                       // a surrogate
        {"\xF4\x90\x80\x80", 4},                   // beyond U+10FFFF
        {"\xEF\xBF\xBE", 1}, {"\xEF\xBF\xBF", 1},  // no XML characters
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        std::string expected;
        for (int i = 0; i < c.replacements; i++)
            expected += kReplacement;
        EXPECT_EQ(expected, escaped(c.text));
    }
}

TEST(XmlEscape, NeverCutsALongTextAndLeavesTheCutToTheDocument) {
    EXPECT_EQ(4995u, escaped(std::string(999, '&')).size());
    EXPECT_EQ(5994u, escaped(std::string(999, '"')).size());
    std::string small(100, '\0');
    TextCursor out(small.data(), small.size());
    orvaXmlEscape(out, std::string(999, '&'));
    EXPECT_TRUE(out.truncated);  // the document is refused, not sent cut
}

TEST(XmlEscape, TheInPlaceFormIsTheSameEscaperStoppingAtAThousandCharacters) {
    char text[1006] = "a<\x01\xff\t\xC3\xA9";
    _xmlEscape(text);
    EXPECT_EQ(escaped("a<\x01\xff\t\xC3\xA9"), text);

    memset(text, 'x', 999);
    strcpy(text + 999, "\xE2\x82\xACx");  // a character begun below the mark is written whole
    _xmlEscape(text);
    EXPECT_EQ(1002u, strlen(text));
    EXPECT_STREQ("x\xE2\x82\xAC", text + 998);
}

TEST(XmlEscape, AnyBytesGiveAWellFormedDocumentAndStorableTextsReadBackExactly) {
    std::mt19937 random(12);
    std::string document = "<root>";
    for (int i = 0; i < 200; i++) {
        std::string text(random() % 40, '\0');
        for (char& c : text)
            c = static_cast<char>(random());
        document += "<t a=\"" + escaped(text) + "\">" + escaped(text) + "</t>";
    }
    for (int byte = 0; byte < 256; byte++) {
        std::string text(1, static_cast<char>(byte));
        document += "<t a=\"" + escaped(text) + "\">" + escaped(text) + "</t>";
    }
    EXPECT_TRUE(xmlWellFormed(document + "</root>"));

    const std::string text = "-x \"q\" 'a' <b> & c\td h\xC3\xA9 \xF0\x9F\x8E\xAC %26 +";
    std::string one = "<t a=\"" + escaped(text) + "\">" + escaped(text) + "</t>";
    EXPECT_EQ(text, xmlString(one, "/t/@a"));
    EXPECT_EQ(text, xmlString(one, "/t"));
}
