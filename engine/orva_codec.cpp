// orva_codec.cpp: the format and codec vocabulary table, and the engine's
// look-ups of encoder, display and SDP names in it.
//
// DESIGN: one row per id holds every name the id goes by, so no second list
// can fall out of step with the first. Names that only ever lead to an id
// (the configuration's and SDP's other spellings) sit in a short list of
// aliases beside it; they are never written.
#include "orva_codec.h"

#include <strings.h>

#include <iterator>

#include "orva_engine.h"

namespace {

constexpr auto F = OrvaVocab::Format;
constexpr auto A = OrvaVocab::Audio;
constexpr auto V = OrvaVocab::Video;

// Formats have neither encoder nor SDP name; their name on the pages and in
// the file is one and the same.
constexpr OrvaVocabEntry kVocab[] = {
    {F, ORVA_FORMAT_FILE, nullptr, "file", "file", nullptr, false, nullptr},
    {F, ORVA_FORMAT_RTMP, nullptr, "rtmp", "rtmp", nullptr, false, nullptr},
    {F, ORVA_FORMAT_UDPTS, nullptr, "udpts", "udpts", nullptr, false, nullptr},
    {F, ORVA_FORMAT_HTTPTS, nullptr, "httpts", "httpts", nullptr, false, nullptr},
    {F, ORVA_FORMAT_RTPTS, nullptr, "rtpts", "rtpts", nullptr, false, nullptr},
    {F, ORVA_FORMAT_SRT, nullptr, "srt", "srt", nullptr, false, nullptr},
    {F, ORVA_FORMAT_HLS, nullptr, "hls", "hls", nullptr, false, nullptr},
    {F, ORVA_FORMAT_DASH, nullptr, "dash", "dash", nullptr, false, nullptr},
    {F, ORVA_FORMAT_DEVICE, nullptr, "device", "device", nullptr, false, nullptr},
    {F, ORVA_FORMAT_RTP, nullptr, "rtp", "rtp", nullptr, false, nullptr},
    {F, ORVA_FORMAT_RTSP, nullptr, "rtsp", "rtsp", nullptr, false, nullptr},
    {F, ORVA_FORMAT_DECKLINK, nullptr, "decklink", "decklink", nullptr, false, nullptr},
    {F, ORVA_FORMAT_NDI, nullptr, "ndi", "ndi", nullptr, false, nullptr},
    {F, ORVA_FORMAT_HTTPMJPG, nullptr, "httpmjpg", "httpmjpg", nullptr, false, nullptr},

    // MP3 is written as MPEG audio like MP2 and reads back as MP2 unless its
    // format parameters say layer 3. AMR-NB has no name outside the command line.
    {A, ORVA_AUDIO_G711U, "pcm_mulaw", "G711U", "G711U", "G711U", true, nullptr},
    {A, ORVA_AUDIO_G711A, "pcm_alaw", "G711A", "G711A", "G711A", true, nullptr},
    {A, ORVA_AUDIO_PCM16S, "pcm_s16le", "PCM16S", "PCM16S", "PCM16S", true, nullptr},
    {A, ORVA_AUDIO_PCM24S, "pcm_s24le", "PCM24S", "PCM24S", "PCM24S", true, nullptr},
    {A, ORVA_AUDIO_PCM16U, "pcm_u16le", "PCM16U", "PCM16U", "PCM16U", true, nullptr},
    {A, ORVA_AUDIO_PCM24U, "pcm_u24le", "PCM24U", "PCM24U", "PCM24U", true, nullptr},
    {A, ORVA_AUDIO_MP2A, "mp2", "MP2A", "MP2A", "MPA", true, nullptr},
    {A, ORVA_AUDIO_MP3, "libmp3lame", "MP3", "MP3", "MPA", false, nullptr},
    {A, ORVA_AUDIO_AMRNB, "libamr_nb -ab 12200", nullptr, nullptr, nullptr, false, nullptr},
    {A, ORVA_AUDIO_AAC, "aac", "AAC", "AAC", "MP4A-LATM", true, nullptr},
    {A, ORVA_AUDIO_HEAAC, "libfdk_aac", "HEAAC", "HEAAC", "HEAAC", false, nullptr},
    {A, ORVA_AUDIO_AC3, "ac3", "AC3", "AC3", "AC3", false, nullptr},
    {A, ORVA_AUDIO_EAC3, "eac3", "EAC3", "EAC3", "EAC3", false, nullptr},
    {A, ORVA_AUDIO_COPY, "copy", "Copy", "Copy", "Copy", false, nullptr},

    // MPEG-1 and MPEG-2 video share one SDP name, which reads back as MPEG-1.
    {V, ORVA_VIDEO_H261, "h261", "H261", "H261", "H261", true, nullptr},
    {V, ORVA_VIDEO_H263, "h263", "H263", "H263", "H263", true, "H.263   (RFC 2190)"},
    {V, ORVA_VIDEO_H263P, "h263p -flags +aic -umv 1 -aiv 1", "H263+", "H263+", "H263-1998", true,
     "H.263+   (RFC 4629)"},
    {V, ORVA_VIDEO_MP1V, "mpeg1video", "MP1V", "MP1V", "MPV", true, nullptr},
    {V, ORVA_VIDEO_MP2V, "mpeg2video", "MP2V", "MP2V", "MPV", false, nullptr},
    {V, ORVA_VIDEO_MP4V, "mpeg4", "MP4V", "MP4V", "MP4V-ES", true, "MPEG-4   (RFC 3016)"},
    {V, ORVA_VIDEO_FLV, "flv", "FLV", "FLV", "FLV", true, nullptr},
    {V, ORVA_VIDEO_H264, "libx264", "H264", "H264", "H264", true, "H.264   (RFC 3984)"},
    {V, ORVA_VIDEO_H265, "libx265", "H265", "H265", "H265", false, nullptr},
    {V, ORVA_VIDEO_NV264, "h264_nvenc", "NV264", "NV264", "NV264", false, nullptr},
    {V, ORVA_VIDEO_NV265, "hevc_nvenc", "NV265", "NV265", "NV265", false, nullptr},
    {V, ORVA_VIDEO_QSV264, "h264_qsv", "QSV264", "QSV264", "QSV264", false, nullptr},
    {V, ORVA_VIDEO_QSV265, "hevc_qsv", "QSV265", "QSV265", "QSV265", false, nullptr},
    {V, ORVA_VIDEO_QSVMPG, "mpeg2_qsv", "QSVMPG", "QSVMPG", "QSVMPG", false, nullptr},
    {V, ORVA_VIDEO_PRORES, "prores_ks", "PRORES", "PRORES", "PRORES", false, nullptr},
    {V, ORVA_VIDEO_MJPEG, "mjpeg", "MJPEG", "MJPEG", "MJPEG", false, nullptr},
    {V, ORVA_VIDEO_VP8, "libvpx", "VP8", "VP8", "VP8", false, nullptr},
    {V, ORVA_VIDEO_VP9, "libvpx-vp9", "VP9", "VP9", "VP9", false, nullptr},
    {V, ORVA_VIDEO_AV1, "libaom-av1", "AV1", "AV1", "AV1", false, nullptr},
    {V, ORVA_VIDEO_COPY, "copy", "Copy", "Copy", "Copy", false, nullptr},
};

enum class Vocabulary { Config, Sdp };

struct Alias {
    Vocabulary vocabulary;
    OrvaVocab kind;
    const char* name;
    int id;
};

constexpr Alias kAliases[] = {
    {Vocabulary::Config, F, "mpegts", ORVA_FORMAT_UDPTS},
    {Vocabulary::Config, F, "mpeg-ts", ORVA_FORMAT_UDPTS},
    {Vocabulary::Config, F, "http", ORVA_FORMAT_HTTPTS},
    {Vocabulary::Sdp, V, "H263-2000", ORVA_VIDEO_H263P},
    {Vocabulary::Sdp, A, "mpeg4-generic", ORVA_AUDIO_AAC},
};

constexpr unsigned kFirstVideoId = 128;

// Each kind's rows sit together and run in id order without gaps, so an id
// finds its row by position.
constexpr bool rowsRunInIdOrder() {
    for (size_t i = 1; i < std::size(kVocab); i++) {
        bool sameKind = kVocab[i].kind == kVocab[i - 1].kind;
        if (sameKind && kVocab[i].id != kVocab[i - 1].id + 1)
            return false;
        for (size_t j = 0; !sameKind && j + 1 < i; j++) {
            if (kVocab[j].kind == kVocab[i].kind)
                return false;  // the kind came before, apart from these rows
        }
    }
    return true;
}
static_assert(rowsRunInIdOrder(), "a row out of id order or away from its kind");

struct Rows {
    size_t first;
    size_t count;
};

constexpr Rows rowsOfKind(OrvaVocab kind) {
    Rows rows{0, 0};
    while (rows.first < std::size(kVocab) && kVocab[rows.first].kind != kind)
        rows.first++;
    while (rows.first + rows.count < std::size(kVocab) && kVocab[rows.first + rows.count].kind == kind)
        rows.count++;
    return rows;
}

constexpr Rows kRowsOfKind[] = {rowsOfKind(F), rowsOfKind(A), rowsOfKind(V)};
static_assert(kRowsOfKind[0].count > 0 && kRowsOfKind[1].count > 0 && kRowsOfKind[2].count > 0,
              "every kind has rows");

std::span<const OrvaVocabEntry> rowsOf(OrvaVocab kind) {
    Rows rows = kRowsOfKind[static_cast<size_t>(kind)];
    return std::span<const OrvaVocabEntry>(kVocab).subspan(rows.first, rows.count);
}

bool sameIgnoringCase(const char* known, std::string_view name) {
    return known && std::string_view(known).size() == name.size() &&
           strncasecmp(known, name.data(), name.size()) == 0;
}

bool sameExactly(const char* known, std::string_view name) { return known && name == known; }

bool matches(const OrvaVocabEntry& entry, Vocabulary vocabulary, std::string_view name) {
    if (vocabulary == Vocabulary::Config)
        return sameIgnoringCase(entry.config, name);
    return entry.sdpReadsBack && sameExactly(entry.sdp, name);
}

bool matches(const Alias& alias, Vocabulary vocabulary, std::string_view name) {
    if (alias.vocabulary != vocabulary)
        return false;
    return vocabulary == Vocabulary::Config ? sameIgnoringCase(alias.name, name)
                                            : sameExactly(alias.name, name);
}

const OrvaVocabEntry* byName(OrvaVocab kind, Vocabulary vocabulary, std::string_view name) {
    for (const OrvaVocabEntry& entry : rowsOf(kind)) {
        if (matches(entry, vocabulary, name))
            return &entry;
    }
    for (const Alias& alias : kAliases) {
        if (alias.kind == kind && matches(alias, vocabulary, name))
            return orvaVocabById(kind, alias.id);
    }
    return nullptr;
}

}  // namespace

std::span<const OrvaVocabEntry> orvaVocabTable() { return kVocab; }

const OrvaVocabEntry* orvaVocabById(OrvaVocab kind, int id) {
    std::span<const OrvaVocabEntry> rows = rowsOf(kind);
    // An id below the first wraps round to a position past the last.
    size_t position = static_cast<unsigned>(id) - static_cast<unsigned>(rows.front().id);
    return position < rows.size() ? &rows[position] : nullptr;
}

const OrvaVocabEntry* orvaVocabCodec(int id) {
    return orvaVocabById(static_cast<unsigned>(id) >= kFirstVideoId ? V : A, id);
}

const OrvaVocabEntry* orvaVocabByConfigName(OrvaVocab kind, std::string_view name) {
    return byName(kind, Vocabulary::Config, name);
}

const OrvaVocabEntry* orvaVocabBySdpName(OrvaVocab kind, std::string_view name) {
    return byName(kind, Vocabulary::Sdp, name);
}

const char* orvaSdpEncodingName(unsigned codec) {
    const OrvaVocabEntry* entry = orvaVocabCodec(static_cast<int>(codec));
    return entry ? entry->sdp : nullptr;
}

extern "C" {

const char* getCodecName(unsigned int codec) {
    const OrvaVocabEntry* entry = orvaVocabCodec(static_cast<int>(codec));
    return entry ? entry->encoder : nullptr;
}

const char* orvaGetCodecName(unsigned int codec) {
    const OrvaVocabEntry* entry = orvaVocabCodec(static_cast<int>(codec));
    return entry ? entry->display : nullptr;
}

}  // extern "C"
