// orva_thumb.h: the channel's live thumbnail, a side output of ffmpeg that
// keeps one small JPEG of the decoded input up to date.
//
// DESIGN: the picture comes from the same video stream ffmpeg's own choice
// gives an output without "-map", so it shows what the channel takes in, and
// the channel's own outputs keep their streams: each output chooses its
// streams by itself. ffmpeg refuses to run an output without any stream, so
// a line whose inputs all carry sound only gets no thumbnail. Where no output
// encodes video, the picture is decoded from key frames only: a copying
// channel would otherwise decode every frame for one picture in five seconds.
// The image muxer writes each picture beside the file and renames it, so a
// reader never sees half a picture.
#pragma once

#include <string>
#include <string_view>

#include "orva_ffargs.h"

constexpr int kThumbWidth = 320;
constexpr int kThumbSeconds = 5;
// The variable that names the file, set by the service for each slot.
constexpr const char* kThumbVariable = "ORVAL_THUMB";

// True when no input can carry a picture: a sound device, a sound-only file
// type or a sound-only lavfi source.
bool ffInputsAreSoundOnly(const FfCommand& command);
// True when some output encodes video, so ffmpeg decodes every frame anyway.
bool ffEncodesVideo(const FfCommand& command);
// Adds the thumbnail output writing `path`; returns false when the line gets
// none (no path, or sound-only inputs).
bool ruleThumbnail(FfCommand& command, std::string_view path);
// Creates the folder of `path` when it is missing; false when it cannot.
bool ffMakeThumbFolder(const std::string& path);
