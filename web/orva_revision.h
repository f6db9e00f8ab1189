// orva_revision.h: each channel's revision number, which tells a page (or a
// script) that the record behind a channel number changed.
//
// DESIGN: every change of a record through the server bumps its number when
// the change is applied: an edit, a removal (the removed channel and every
// later one, which move down a place), an import (all). A request may name
// the revision it was made against ("rev=R"); a change is refused when the
// number differs at the moment it would be composed into the file, so no
// change lands on a record its sender had not seen. The numbers live only in
// memory and start at 0 with the service; a page that loses the server reads
// every channel again. Callers hold the service lock.
#pragma once

#include <cstdint>
#include <string_view>

uint32_t orvaChannelRevision(int channel);
// `channel` and every channel after it up to 64 when `andLater` is set.
void orvaBumpRevision(int channel, bool andLater = false);
void orvaBumpAllRevisions();

// The revision a form or argument text names ("rev=R").
enum class OrvaRevisionSent { Absent, Number, Malformed };
OrvaRevisionSent orvaReadRevision(std::string_view form, uint32_t& number);
// True when `revision` is given and is not the channel's.
bool orvaIsStale(int channel, const uint32_t* revision);
