// orva_revision.cpp: the channels' revision numbers (see orva_revision.h).
#include "orva_revision.h"

#include <charconv>

#include "config/orva_channel.h"
#include "engine/orva_text.h"
#include "orva_form.h"
#include "orva_web.h"

namespace {

uint32_t g_revisions[ORVA_CHANNEL_COUNT];

bool inRange(int channel) { return channel >= 0 && channel < ORVA_CHANNEL_COUNT; }

}  // namespace

uint32_t orvaChannelRevision(int channel) {
    return inRange(channel) ? g_revisions[channel] : 0;
}

void orvaBumpRevision(int channel, bool andLater) {
    if (!inRange(channel))
        return;
    int last = andLater ? ORVA_CHANNEL_COUNT - 1 : channel;
    for (int c = channel; c <= last; c++)
        g_revisions[c]++;
}

void orvaBumpAllRevisions() {
    orvaBumpRevision(0, true);
}

OrvaRevisionSent orvaReadRevision(std::string_view form, uint32_t& number) {
    char sent[ORVA_WEB_TEXT_SIZE];
    TextCursor out(sent, sizeof sent);
    if (orvaFormValue(form, "rev", out) != ORVA_FORM_FOUND)
        return OrvaRevisionSent::Absent;
    std::string_view text = out.view();
    const char* end = text.data() + text.size();
    auto result = std::from_chars(text.data(), end, number);
    if (text.empty() || result.ec != std::errc() || result.ptr != end)
        return OrvaRevisionSent::Malformed;
    return OrvaRevisionSent::Number;
}

bool orvaIsStale(int channel, const uint32_t* revision) {
    return revision && *revision != orvaChannelRevision(channel);
}
