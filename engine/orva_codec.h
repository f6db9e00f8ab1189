// orva_codec.h: the one table of the format and codec vocabularies: every name
// a format or codec id goes by, in the transcoder's command line, on the pages,
// in the configuration file and in SDP.
#pragma once

#include <span>
#include <string_view>

enum class OrvaVocab : unsigned char { Format, Audio, Video };

struct OrvaVocabEntry {
    OrvaVocab kind;
    int id;                // ORVA_FORMAT_* or ORVA_AUDIO_* / ORVA_VIDEO_*
    const char* encoder;   // written after "-c:a " or "-c:v ", with any options it carries
    const char* display;   // status replies and pages
    const char* config;    // the configuration file; read back without regard to case
    const char* sdp;       // the encoding name an SDP export writes
    bool sdpReadsBack;     // an SDP import turns `sdp` into this id again
    const char* rtpDesc;   // the RTP payload description, for the codecs that have one
};

// Every row, formats first, then audio and video codecs in id order. A null
// name means the id has none in that vocabulary.
std::span<const OrvaVocabEntry> orvaVocabTable();

const OrvaVocabEntry* orvaVocabById(OrvaVocab kind, int id);
// Codecs share one id space: audio below 128, video from 128.
const OrvaVocabEntry* orvaVocabCodec(int id);
// The whole name without regard to case; the configuration's aliases count too.
const OrvaVocabEntry* orvaVocabByConfigName(OrvaVocab kind, std::string_view name);
// The whole name, case and all; the encoding names SDP writers also use count too.
const OrvaVocabEntry* orvaVocabBySdpName(OrvaVocab kind, std::string_view name);
