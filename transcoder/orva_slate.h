// orva_slate.h: the still card a watched channel shows when neither its
// source nor its backup delivers. It is drawn in memory with a built-in
// font, so it cannot fail the way a file or a font library could.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The card's colours in yuv420p: a mid blue that no test pattern or black
// picture has, and white text.
constexpr uint8_t kSlateY = 72, kSlateU = 175, kSlateV = 107, kSlateTextY = 235;

// The card's lines: the channel, the memo (when there is one), "Source lost"
// and how long ago, as H:MM:SS.
std::vector<std::string> slateLines(int channel, std::string_view memo, long secondsLost);
// Draws the lines centred on a yuv420p picture of width x height (even
// sizes), filling all of it; characters the font lacks show as '?'.
void drawSlate(uint8_t* picture, int width, int height, const std::vector<std::string>& lines);
