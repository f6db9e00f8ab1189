// orva_channel_texts.h: the option texts and addresses a channel start hands
// to the engine, composed from the channel record.
#pragma once

#include <ctime>
#include <string_view>

#include "config/orva_channel.h"
#include "engine/orva_text.h"

// Each returns false when the text did not fit its buffer; the start is then refused.
bool orvaComposeInputOptions(const ORVA_CHANNEL_TAG& channel, TextCursor& text);
bool orvaComposeTargetAddress(const ORVA_CHANNEL_TARGET_TAG& target, time_t now, TextCursor& text);
bool orvaComposeTargetOptions(const ORVA_CHANNEL_TAG& channel, const ORVA_CHANNEL_TARGET_TAG& target,
                              const char* address, TextCursor& text);
