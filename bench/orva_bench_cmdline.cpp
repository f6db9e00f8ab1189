// orva_bench_cmdline: how long the engine takes to compose the command line
// of a full channel (five inputs, five targets), and whether it allocates.
//
//   orva_bench_cmdline [iterations]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "engine/orva_cmdline.h"

namespace {

long g_allocations = 0;

ORVA_OUTPUT_TAG fullTarget(int format, const char* address, const char* options) {
    ORVA_OUTPUT_TAG out{};
    out.Format = format;
    out.pszAddress = address;
    out.pszOptions = options;
    out.Audio.AudioEnable = 1;
    out.Audio.AudioCodec = ORVA_AUDIO_AAC;
    out.Audio.AudioChannel = 2;
    out.Audio.AudioSampleRate = 48000;
    out.Audio.AudioBitRate = 128;
    out.Video.VideoEnable = 1;
    out.Video.VideoCodec = ORVA_VIDEO_H264;
    out.Video.VideoWidth = 1280;
    out.Video.VideoHeight = 720;
    out.Video.VideoFrameRate = 29.97f;
    out.Video.VideoBitRate = 3000;
    out.Video.VideoDeinterlace = 1;
    return out;
}

}  // namespace

void* operator new(size_t size) {
    g_allocations++;
    if (void* p = malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

int main(int argc, char** argv) {
    long iterations = argc > 1 ? atol(argv[1]) : 200000;
    g_cfg.logLevel = 32;
    snprintf(g_cfg.szWorkDir, sizeof g_cfg.szWorkDir, "/var/orval");
    ORVA_INPUT_TAG inputs[5] = {};
    const char* addresses[] = {"/media/clips/a.mp4", "rtmp://origin/live/a", "HLS://edge/a.m3u8",
                               "rtspt://cam/1", "udp://239.1.1.1:1234"};
    for (int i = 0; i < 5; i++) {
        inputs[i].pszAddress = addresses[i];
        inputs[i].pszOptions = "-thread_queue_size 512";
    }
    ORVA_OUTPUT_TAG outputs[5] = {
        fullTarget(ORVA_FORMAT_HLS, "/var/orval/hls/a.m3u8", "-hls_time 4 -hls_list_size 5"),
        fullTarget(ORVA_FORMAT_RTMP, "rtmp://cdn/live/key", "-profile:v high"),
        fullTarget(ORVA_FORMAT_UDPTS, "udp://239.2.2.2:1234?pkt_size=1316", nullptr),
        fullTarget(ORVA_FORMAT_SRT, "srt://127.0.0.1:9000", nullptr),
        fullTarget(ORVA_FORMAT_FILE, "/var/orval/rec/a.ts", nullptr)};
    char buffer[kOrvaLineSize];
    size_t length = 0;
    long allocationsBefore = g_allocations;
    auto begin = std::chrono::steady_clock::now();
    for (long i = 0; i < iterations; i++) {
        TextCursor line(buffer, sizeof buffer);
        if (orvaComposeLine(0, inputs, 5, outputs, 5, 0, line) != ORVA_OK) {
            fprintf(stderr, "compose failed\n");
            return 1;
        }
        length = line.length();
    }
    auto elapsed = std::chrono::steady_clock::now() - begin;
    double ns = std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(iterations);
    printf("line of %zu bytes (5 inputs, 5 targets): %.0f ns per line over %ld lines, "
           "%ld heap allocations\n",
           length, ns, iterations, g_allocations - allocationsBefore);
    return 0;
}
