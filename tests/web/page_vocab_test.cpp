// The management page offers only formats and codecs the service knows by
// those names: an unknown one would be saved silently as the default.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "engine/orva_codec.h"
#include "web/orva_page_data.h"

namespace {

// The option values of the page's <select id="...">, in page order.
std::vector<std::string> optionValues(std::string_view page, const std::string& selectId) {
    std::vector<std::string> values;
    size_t start = page.find("<select id=\"" + selectId + "\"");
    if (start == std::string_view::npos)
        return values;
    size_t end = page.find("</select>", start);
    std::string_view select = page.substr(start, end - start);
    constexpr std::string_view kValue = "<option value=\"";
    for (size_t at = select.find(kValue); at != std::string_view::npos;
         at = select.find(kValue, at)) {
        at += kValue.size();
        values.emplace_back(select.substr(at, select.find('"', at) - at));
    }
    return values;
}

}  // namespace

TEST(PageVocabulary, TargetFormatsAndCodecsOnThePageAreKnownConfigurationNames) {
    struct Select { const char* id; OrvaVocab kind; size_t atLeast; };
    const Select selects[] = {{"tfmt", OrvaVocab::Format, 10},
                              {"cv", OrvaVocab::Video, 10},
                              {"ca", OrvaVocab::Audio, 5}};
    for (const Select& select : selects) {
        std::vector<std::string> values = optionValues(g_szHtmlTemplate, select.id);
        SCOPED_TRACE(select.id);
        EXPECT_GE(values.size(), select.atLeast);
        for (const std::string& value : values) {
            const OrvaVocabEntry* entry = orvaVocabByConfigName(select.kind, value);
            ASSERT_NE(nullptr, entry) << value;
            // The page's value is the name itself, never an alias.
            EXPECT_STRCASEEQ(entry->config, value.c_str());
        }
    }
}
