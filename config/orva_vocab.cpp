// orva_vocab.cpp: names of formats and codecs, as the configuration file and
// the web pages write them, looked up in the engine's vocabulary table.
#include "engine/orva_codec.h"
#include "orva_channel.h"

namespace {

// An unknown name, the empty one included, reads as `fallback`.
int configId(OrvaVocab kind, const char* name, int fallback) {
    const OrvaVocabEntry* entry = name ? orvaVocabByConfigName(kind, name) : nullptr;
    return entry ? entry->id : fallback;
}

}  // namespace

int orvaGetFormatId(const char* name) {
    return configId(OrvaVocab::Format, name, ORVA_FORMAT_FILE);
}

const char* orvaGetFormatName(ORVA_FORMAT id) {
    const OrvaVocabEntry* entry = orvaVocabById(OrvaVocab::Format, static_cast<int>(id));
    return entry ? entry->config : nullptr;
}

int orvaGetVideoCodecId(const char* name) {
    return configId(OrvaVocab::Video, name, ORVA_VIDEO_H264);
}

int orvaGetAudioCodecId(const char* name) {
    return configId(OrvaVocab::Audio, name, ORVA_AUDIO_AAC);
}

const char* orvaGetCodecDesc(uint8_t codec) {
    const OrvaVocabEntry* entry = orvaVocabById(OrvaVocab::Video, codec);
    return entry && entry->rtpDesc ? entry->rtpDesc : "Other";
}
