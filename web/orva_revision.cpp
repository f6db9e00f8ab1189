// orva_revision.cpp: the channels' revision numbers (see orva_revision.h).
#include "orva_revision.h"

#include <charconv>

#include "config/orva_channel.h"

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

OrvaRevisionCheck orvaCheckRevision(int channel, std::string_view sent, bool given) {
    if (!given)
        return OrvaRevisionCheck::Absent;
    uint32_t number = 0;
    const char* end = sent.data() + sent.size();
    auto result = std::from_chars(sent.data(), end, number);
    if (sent.empty() || result.ec != std::errc() || result.ptr != end)
        return OrvaRevisionCheck::Malformed;
    return number == orvaChannelRevision(channel) ? OrvaRevisionCheck::Matches
                                                  : OrvaRevisionCheck::Differs;
}
