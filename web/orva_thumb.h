// orva_thumb.h: "/thumb" + channel number, the channel's live thumbnail.
#pragma once

struct MHD_Connection;

// A thumbnail not renewed for this long belongs to a channel that stopped or
// no longer takes in pictures; it is not shown as live.
constexpr int kOrvaThumbStaleSeconds = 30;

// The JPEG the channel's transcoder keeps in "<work>/thumb/orva_NNN.jpg",
// never cached; 404 for a channel outside 1 to 64 and when there is no
// recent picture. Reads no channel or setting, so needs no service lock.
int orvaCGIThumb(int channel, MHD_Connection* connection);
