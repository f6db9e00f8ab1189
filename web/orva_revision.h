// orva_revision.h: each channel's revision number, which tells a page (or a
// script) that the record behind a channel number changed.
//
// DESIGN: every change of a record through the server bumps its number: an
// edit, a removal (the removed channel and every later one, which move down
// a place), an import (all). The numbers live only in memory and start at 0
// with the service; a page that loses the server reads every channel again.
// Callers hold the service lock.
#pragma once

#include <cstdint>
#include <string_view>

uint32_t orvaChannelRevision(int channel);
// `channel` and every channel after it up to 64 when `andLater` is set.
void orvaBumpRevision(int channel, bool andLater = false);
void orvaBumpAllRevisions();

// A revision sent with a request ("rev=R"): absent, a number, or not a number.
enum class OrvaRevisionCheck { Absent, Matches, Differs, Malformed };
OrvaRevisionCheck orvaCheckRevision(int channel, std::string_view sent, bool given);
