// orva_thumb.h: the channel's live thumbnail, a side output of ffmpeg that
// keeps one small JPEG of the decoded input up to date.
//
// DESIGN: the picture comes from the video of the first input that may carry
// pictures, so it shows what the channel takes in. It is an output of its own
// with explicit maps, and each output of ffmpeg chooses its streams by itself,
// so the channel's own outputs keep theirs. ffmpeg refuses to run at all when
// an output ends up without any stream, and a network address does not say
// whether it carries pictures; so the output is a tee of two parts that may
// each fail alone: the picture file (only video) and a null sink (only the
// input's sound, copied). A source without pictures leaves the picture part
// failed and ignored, with one line in the log, and the channel runs as
// before. Inputs known to carry sound only get no thumbnail output at all.
// Where no output encodes video, the picture is decoded from key frames
// only: a copying channel would otherwise decode every frame for one picture
// in five seconds. The image muxer writes each picture beside the file and
// renames it, so a reader never sees half a picture.
#pragma once

#include <string>
#include <string_view>

#include "orva_ffargs.h"

constexpr int kThumbWidth = 320;
constexpr int kThumbSeconds = 5;
// The variable that names the file, set by the service for each slot.
constexpr const char* kThumbVariable = "ORVAL_THUMB";

// The first input that may carry pictures, or -1 when every input is known to
// carry sound only: a sound device, a sound-only file type or lavfi source.
int ffPictureInput(const FfCommand& command);
// True when some output encodes video, so ffmpeg decodes every frame anyway.
bool ffEncodesVideo(const FfCommand& command);
// Adds the thumbnail output writing `path`; returns false when the line gets
// none (no path, or inputs known to carry sound only).
bool ruleThumbnail(FfCommand& command, std::string_view path);
// Creates the folder of `path` when it is missing; false when it cannot.
bool ffMakeThumbFolder(const std::string& path);
