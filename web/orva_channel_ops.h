// orva_channel_ops.h: what the status and channel endpoints do, apart from
// HTTP. Callers hold the service lock; channels are indexes 0 to 63.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "engine/orva_text.h"

enum {
    ORVA_WEB_NOT_CONFIGURED = -1,  // a read of a channel that is not configured
    ORVA_WEB_TOO_LARGE = -2,       // an edit body or value beyond its limit; nothing changed
    ORVA_WEB_TOO_LONG = -3,        // a document that does not fit its work buffer
    ORVA_WEB_NO_CHANNEL = -4,      // a channel index outside 0 to 63
    ORVA_WEB_BAD_VALUE = -5,       // an edit value the table cannot carry as written; nothing changed
    ORVA_WEB_NOT_SAVED = -6,       // the change could not be saved; nothing changed
    ORVA_WEB_STALE = -7,           // the channel's revision is not the one named; nothing changed
};

enum {
    ORVA_EDIT_BODY_MAX = 3999,     // characters of an edit body, each escape counted as one
    ORVA_EDIT_VALUE_MAX = 999,     // characters of one value
    ORVA_XML_ESCAPED_SIZE = 1006,  // a buffer that an escaped text fits in
};

// The state of all 64 channels; false when it did not fit.
bool orvaComposeStatus(TextCursor& out);
// The settings of one channel: 0, ORVA_WEB_NOT_CONFIGURED or ORVA_WEB_TOO_LONG.
int orvaComposeChannel(int channel, TextCursor& out);
// Applies a form-encoded edit body and saves: 0, ORVA_WEB_NOT_SAVED, ORVA_WEB_TOO_LARGE or
// ORVA_WEB_BAD_VALUE (a text with a control character or not UTF-8, a number
// that is not whole or out of its range, a frame rate that is not a decimal
// number >= 0, video options holding "-map ").
// The edit is saved before it is applied: ORVA_WEB_NOT_SAVED changes nothing.
// `serviceLock` is held on entry and on return, released while the file is
// written; the second form takes the lock itself. `reason`, when given,
// receives why a refused edit was refused, for the operator; `revision`,
// when given, must still be the channel's when the edit is saved, else
// ORVA_WEB_STALE. An applied edit bumps the channel's revision.
int orvaEditChannel(int channel, const char* body, std::unique_lock<std::mutex>& serviceLock,
                    std::string* reason = nullptr, const uint32_t* revision = nullptr);
int orvaEditChannel(int channel, const char* body);
// "start", "stop" or "remove", without regard to case; any other text does
// nothing. Returns ORVA_WEB_NOT_SAVED when a removal could not be saved (the
// channel then stays as it was), ORVA_WEB_STALE when `revision` is given and
// is not the channel's, else 0. `serviceLock` as for the edit. A removal
// bumps the revisions of the channel and every later one.
int orvaRunChannelAction(int channel, const char* action, std::unique_lock<std::mutex>& serviceLock,
                         const uint32_t* revision = nullptr);
int orvaRunChannelAction(int channel, const char* action);
