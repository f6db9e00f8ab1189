// SDP import on any text, from both sides: it reads what it can and never
// fails on a line, and a file it accepts names a port.
#include <cstdio>

#include "engine/orva_engine.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (int targetSide = 0; targetSide <= 1; targetSide++) {
        FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "r");
        if (!stream)
            return 0;  // fmemopen refuses an empty buffer
        ORVA_VIDEO_TAG video;
        ORVA_AUDIO_TAG audio;
        int rc = orvaImportSdpInternal(stream, &video, &audio, targetSide);
        fclose(stream);
        if (rc != 0 && rc != 1)
            fuzzFail("SDP import returned an unknown status");
        // Only the video part or only the audio part may be asked for.
        stream = fmemopen(const_cast<uint8_t*>(data), size, "r");
        orvaImportSdpInternal(stream, targetSide ? &video : nullptr, targetSide ? nullptr : &audio,
                              targetSide);
        fclose(stream);
    }
    return 0;
}
