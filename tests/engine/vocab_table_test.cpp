// The format and codec vocabulary table: every row is found again by its id
// and by each of its names, and codecs survive an SDP file written and read.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "config/orva_channel.h"
#include "engine/orva.h"
#include "engine/orva_codec.h"
#include "engine/orva_engine.h"
#include "test_support.h"

namespace {

std::string describe(const OrvaVocabEntry& row) {
    const char* kinds[] = {"format", "audio", "video"};
    const char* name = row.config ? row.config : row.encoder;
    return std::string(kinds[static_cast<int>(row.kind)]) + " " + std::to_string(row.id) + " " +
           (name ? name : "(no name)");
}

std::string lowerCase(const char* text) {
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return lower;
}

// The configuration's reader for the row's kind, as the file and forms use it.
int configReadId(OrvaVocab kind, const char* name) {
    if (kind == OrvaVocab::Format)
        return orvaGetFormatId(name);
    return kind == OrvaVocab::Video ? orvaGetVideoCodecId(name) : orvaGetAudioCodecId(name);
}

void expectSameText(const char* expected, const char* actual) {
    if (!expected)
        EXPECT_EQ(nullptr, actual);
    else
        EXPECT_STREQ(expected, actual);
}

}  // namespace

TEST(VocabularyTable, EveryRowIsFoundByItsIdAndReadBackFromItsConfigurationName) {
    for (const OrvaVocabEntry& row : orvaVocabTable()) {
        SCOPED_TRACE(describe(row));
        EXPECT_EQ(&row, orvaVocabById(row.kind, row.id));
        if (row.kind != OrvaVocab::Format) {
            // Codecs share one id space; the id alone must lead to the row's kind.
            EXPECT_EQ(&row, orvaVocabCodec(row.id));
        }
        if (!row.config)
            continue;
        EXPECT_EQ(&row, orvaVocabByConfigName(row.kind, row.config));
        EXPECT_EQ(&row, orvaVocabByConfigName(row.kind, lowerCase(row.config)));
        EXPECT_EQ(row.id, configReadId(row.kind, row.config));
        EXPECT_EQ(row.id, configReadId(row.kind, lowerCase(row.config).c_str()));
    }
}

TEST(VocabularyTable, EngineNamesOfEveryCodecIdComeFromItsRow) {
    for (const OrvaVocabEntry& row : orvaVocabTable()) {
        if (row.kind == OrvaVocab::Format) {
            EXPECT_STREQ(row.config, orvaGetFormatName(static_cast<ORVA_FORMAT>(row.id)));
            continue;
        }
        SCOPED_TRACE(describe(row));
        auto id = static_cast<unsigned>(row.id);
        ASSERT_NE(nullptr, row.encoder);  // a codec the transcoder cannot be told of is no codec
        EXPECT_STREQ(row.encoder, getCodecName(id));
        expectSameText(row.display, orvaGetCodecName(id));
        expectSameText(row.sdp, orvaSdpEncodingName(id));
    }
}

TEST(VocabularyTable, SdpNamesReadBackToTheirOwnRowOrToTheRowThatOwnsTheName) {
    for (const OrvaVocabEntry& row : orvaVocabTable()) {
        if (!row.sdp)
            continue;
        SCOPED_TRACE(describe(row));
        const OrvaVocabEntry* found = orvaVocabBySdpName(row.kind, row.sdp);
        if (row.sdpReadsBack) {
            EXPECT_EQ(&row, found);
        } else if (found) {
            // A shared name belongs to exactly one row, of the same kind.
            EXPECT_NE(&row, found);
            EXPECT_STREQ(row.sdp, found->sdp);
            EXPECT_TRUE(found->sdpReadsBack);
        }
    }
}

namespace {

// Writes an SDP file with `codec` in the part of `kind` and reads it back.
int throughSdpFile(const TempDir& dir, OrvaVocab kind, int codec) {
    std::string path = dir / "stream.sdp";
    ORVA_VIDEO_TAG video{};
    ORVA_AUDIO_TAG audio{};
    ORVA_VIDEO_TAG* v = kind == OrvaVocab::Video ? &video : nullptr;
    ORVA_AUDIO_TAG* a = kind == OrvaVocab::Audio ? &audio : nullptr;
    video.VideoCodec = codec;
    video.VideoSourceIP = Inet_addr("127.0.0.1");
    video.VideoSourcePort = 5000;
    audio.AudioCodec = codec;
    audio.AudioSourceIP = Inet_addr("127.0.0.1");
    audio.AudioSourcePort = 5002;
    audio.AudioSampleRate = 48000;
    audio.AudioChannel = 2;
    EXPECT_EQ(0, orvaExportSdp(path.c_str(), v, a, 1)) << readFile(path);
    video = ORVA_VIDEO_TAG{};
    audio = ORVA_AUDIO_TAG{};
    EXPECT_EQ(0, orvaImportSdp(path.c_str(), v, a, 0)) << readFile(path);
    return kind == OrvaVocab::Video ? video.VideoCodec : audio.AudioCodec;
}

}  // namespace

TEST(VocabularyTable, CodecsWhoseSdpNameReadsBackSurviveAnSdpFile) {
    TempDir dir;
    int survivors = 0;
    for (const OrvaVocabEntry& row : orvaVocabTable()) {
        if (!row.sdp || row.kind == OrvaVocab::Format)
            continue;
        SCOPED_TRACE(describe(row));
        int read = throughSdpFile(dir, row.kind, row.id);
        if (row.sdpReadsBack) {
            EXPECT_EQ(row.id, read);
            survivors++;
        } else {
            EXPECT_NE(row.id, read);
        }
    }
    EXPECT_GT(survivors, 0);
}

namespace {

// The codec an SDP file naming `encoding` in one rtpmap line reads as, or -1
// when the name set none. The payload type is a dynamic one, so only the name
// can set the codec.
int importedCodec(const TempDir& dir, OrvaVocab kind, const std::string& encoding) {
    std::string path = dir / "named.sdp";
    bool isVideo = kind == OrvaVocab::Video;
    writeFile(path, std::string("c=IN IP4 127.0.0.1\n") +
                        (isVideo ? "m=video 5000 RTP/AVP 96\na=rtpmap:96 " + encoding + "/90000\n"
                                 : "m=audio 5002 RTP/AVP 97\na=rtpmap:97 " + encoding + "/8000/1\n"));
    ORVA_VIDEO_TAG video{};
    ORVA_AUDIO_TAG audio{};
    EXPECT_EQ(0, orvaImportSdp(path.c_str(), isVideo ? &video : nullptr, isVideo ? nullptr : &audio, 0));
    // Import starts from empty parts. No video codec is 0; an audio name that
    // matches also takes the clock rate, which tells G711U (0) from no match.
    if (isVideo)
        return video.VideoCodec != 0 ? video.VideoCodec : -1;
    return audio.AudioSampleRate == 8000 ? audio.AudioCodec : -1;
}

}  // namespace

TEST(VocabularyTable, SdpImportKnowsExactlyTheEncodingNamesOthersWrite) {
    struct Case { OrvaVocab kind; const char* encoding; int codec; };
    constexpr auto V = OrvaVocab::Video;
    constexpr auto A = OrvaVocab::Audio;
    const Case cases[] = {
        {V, "H261", ORVA_VIDEO_H261},       {V, "H263", ORVA_VIDEO_H263},
        {V, "H263-1998", ORVA_VIDEO_H263P}, {V, "H263-2000", ORVA_VIDEO_H263P},
        {V, "MPV", ORVA_VIDEO_MP1V},        {V, "MP4V-ES", ORVA_VIDEO_MP4V},
        {V, "FLV", ORVA_VIDEO_FLV},         {V, "H264", ORVA_VIDEO_H264},
        {V, "h264", -1},                    {V, "H265", -1},
        {V, "VP8", -1},                     {V, "MPA", -1},
        {A, "G711U", ORVA_AUDIO_G711U},     {A, "G711A", ORVA_AUDIO_G711A},
        {A, "PCM16S", ORVA_AUDIO_PCM16S},   {A, "PCM24S", ORVA_AUDIO_PCM24S},
        {A, "PCM16U", ORVA_AUDIO_PCM16U},   {A, "PCM24U", ORVA_AUDIO_PCM24U},
        {A, "MPA", ORVA_AUDIO_MP2A},        {A, "MP4A-LATM", ORVA_AUDIO_AAC},
        {A, "mpeg4-generic", ORVA_AUDIO_AAC}, {A, "MPEG4-GENERIC", -1},
        {A, "AAC", -1},                     {A, "HEAAC", -1},
        {A, "Copy", -1},                    {A, "H264", -1},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoding);
        EXPECT_EQ(c.codec, importedCodec(dir, c.kind, c.encoding));
    }
}
