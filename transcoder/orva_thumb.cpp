// orva_thumb.cpp: adds the live thumbnail output to the service's line.
#include "orva_thumb.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>

#include "orva_rewrite.h"

namespace {

// Capture formats that deliver sound and nothing else.
constexpr std::array<std::string_view, 6> kSoundDevices = {"alsa", "pulse", "jack", "oss", "openal", "sndio"};
// File types that hold sound only (a cover picture in an MP3 is not a
// stream worth a thumbnail, and ffmpeg would not show it live anyway).
constexpr std::array<std::string_view, 14> kSoundFileTypes = {
    ".mp3", ".aac", ".m4a", ".wav", ".flac", ".ogg", ".oga", ".opus",
    ".wma", ".ac3", ".eac3", ".mp2", ".aiff", ".mka"};
// lavfi sources that make sound.
constexpr std::array<std::string_view, 4> kSoundSources = {"sine", "anullsrc", "aevalsrc", "anoisesrc"};

template <size_t N>
bool isOneOf(std::string_view word, const std::array<std::string_view, N>& list) {
    for (std::string_view entry : list)
        if (word == entry)
            return true;
    return false;
}

// The address without its query, so "a.mp3?x=1" still ends in ".mp3".
std::string_view withoutQuery(std::string_view url) { return url.substr(0, url.find('?')); }

bool endsWithSoundType(std::string_view url) {
    for (std::string_view type : kSoundFileTypes)
        if (ffEndsWithNoCase(withoutQuery(url), type))
            return true;
    return false;
}

// A lavfi graph's first source, "sine" in "sine=f=440:d=5".
std::string_view firstSource(std::string_view graph) { return graph.substr(0, graph.find_first_of("=,;[")); }

bool isSoundOnly(const FfGroup& input) {
    auto format = input.value("-f");
    if (format && isOneOf(*format, kSoundDevices))
        return true;
    if (format == "lavfi")
        return isOneOf(firstSource(input.url), kSoundSources);
    return input.has("-vn") || endsWithSoundType(input.url);
}

bool copiesEverything(const FfGroup& output) {
    return output.value("-c") == "copy" || output.value("-codec") == "copy";
}

// One picture every few seconds into a file replaced whole each time; the
// sound copied to nothing keeps the output alive without pictures. The
// pictures keep the input's timestamps: a stream at one frame per five
// seconds would report its end five seconds ahead, and ffmpeg's progress
// (the channel's stream time) takes the furthest stream of all outputs.
FfGroup thumbnailOutput(size_t input, std::string_view path) {
    std::string from = std::to_string(input);
    std::string filter = "select='isnan(prev_selected_t)+gte(t-prev_selected_t\\," + std::to_string(kThumbSeconds) +
                         ")',scale=" + std::to_string(kThumbWidth) + ":-2";
    FfGroup output;
    output.options = {"-map", from + ":v:0?", "-map", from + ":a:0?", "-sn", "-dn",
                      "-vf", filter, "-fps_mode:v", "vfr",
                      "-c:v", "mjpeg", "-q:v", "5", "-threads", "1", "-c:a", "copy", "-f", "tee"};
    output.url = "[select=v:f=image2:update=1:atomic_writing=1:onfail=ignore]" + std::string(path) +
                 "|[select=a:f=null:onfail=ignore]-";
    output.hasUrl = true;
    return output;
}

}  // namespace

int ffPictureInput(const FfCommand& command) {
    for (size_t k = 0; k < command.inputs.size(); k++)
        if (!isSoundOnly(command.inputs[k]))
            return static_cast<int>(k);
    return -1;
}

bool ffEncodesVideo(const FfCommand& command) {
    for (const FfGroup& output : command.outputs) {
        std::string video = ffVideoEncoder(output);
        if (video == "none" || video == "copy" || (video.empty() && copiesEverything(output)))
            continue;
        return true;
    }
    return false;
}

bool ruleThumbnail(FfCommand& command, std::string_view path) {
    int picture = ffPictureInput(command);
    // The tee reads "|" as the end of its first part.
    if (path.empty() || path.find('|') != std::string_view::npos || picture < 0)
        return false;
    FfGroup& input = command.inputs[static_cast<size_t>(picture)];
    // Only the thumbnail decodes there; a key frame now and then is enough for it.
    if (!ffEncodesVideo(command) && !input.has("-skip_frame:v"))
        input.add("-skip_frame:v", "nokey");
    command.outputs.push_back(thumbnailOutput(static_cast<size_t>(picture), path));
    return true;
}

bool ffMakeThumbFolder(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return true;
    std::string folder = path.substr(0, slash);
    return mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}
