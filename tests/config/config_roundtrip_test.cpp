// Round trips of the configuration file: random tables come back field for
// field and byte for byte, and randomly damaged files reach a fixpoint after
// one save without losing a configured channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "config/config_fixture.h"
#include "engine/orva_text.h"
#include "test_support.h"

namespace {

using Text = char[ORVA_TEXT_SIZE];

// Pieces of the texts an operator may enter: blanks and tabs, quotes, markup
// and form characters, non-ASCII UTF-8, and plain words.
const char* const kPieces[] = {" ",  "\t", "\"", "<",  ">",  "&",  "%",  "+",  "=",      "/",
                               ":",  "-",  ".",  "?",  "'",  "\\", "a",  "Z",  "0",      "9",
                               "é",  "日本", "ß",  "🎥", "x y", "-g", "50", "]",  "[", "#"};

class TableGenerator {
public:
    explicit TableGenerator(unsigned start) : random_(start) {}

    void fill(ORVA_GLOBAL_SETTINGS& s, ORVA_CHANNEL_TAG (&channels)[ORVA_CHANNEL_COUNT]) {
        memset(static_cast<void*>(channels), 0, sizeof channels);
        fillSettings(s);
        for (ORVA_CHANNEL_TAG& channel : channels) {
            if (chance(35))
                continue;  // a gap between channels
            fillChannel(channel);
        }
        for (ORVA_CHANNEL_CONTINUITY_TAG& continuity : g_orvaContinuity)
            fillContinuity(continuity);
        for (ORVA_CHANNEL_TAG& channel : channels) {
            for (ORVA_CHANNEL_SOURCE_TAG& source : channel.Sources)
                source.pszAddress = source.File;
            for (ORVA_CHANNEL_TARGET_TAG& target : channel.Targets)
                target.pszAddress = target.File;
        }
    }

private:
    int32_t between(int64_t lowest, int64_t highest) {
        return static_cast<int32_t>(std::uniform_int_distribution<int64_t>(lowest, highest)(random_));
    }
    int32_t anyInt() { return between(INT32_MIN, INT32_MAX); }
    bool chance(int percent) { return between(0, 99) < percent; }
    uint64_t address() { return static_cast<uint32_t>(anyInt()); }
    uint16_t port() { return static_cast<uint16_t>(between(0, UINT16_MAX)); }

    void text(Text& field, std::string_view avoid = {}, bool leadingBlanks = true) {
        const size_t most = chance(3) ? sizeof(Text) - 1 : static_cast<size_t>(between(0, 40));
        std::string value;
        for (;;) {
            std::string_view piece = kPieces[between(0, std::size(kPieces) - 1)];
            if (value.size() + piece.size() > most)
                break;
            value += piece;
        }
        if (!leadingBlanks)
            value.erase(0, value.find_first_not_of(" \t"));
        if (!avoid.empty()) {
            for (size_t at; (at = value.find(avoid)) != std::string::npos;)
                value.erase(at, 1);
        }
        memset(field, 0, sizeof(Text));
        memcpy(field, value.data(), value.size());
    }

    int32_t videoCodec() { return between(ORVA_VIDEO_H261, ORVA_VIDEO_COPY); }
    int32_t audioCodec() {
        int32_t codec = between(ORVA_AUDIO_G711U, ORVA_AUDIO_COPY);
        return codec == ORVA_AUDIO_AMRNB ? ORVA_AUDIO_AAC : codec;  // AMR has no name
    }

    void fillSettings(ORVA_GLOBAL_SETTINGS& s) {
        s.HTTPPort = port();
        s.RTSPPort = port();
        s.Log = chance(50) ? 0 : 32;
        s.AutoStart = anyInt();
        s.AutoRestart = between(0, kOrvaMaxAutoRestartSec);
        s.CpuPerChannel = between(0, kOrvaMaxCpuPerChannel);
        s.StreamTimeLimit = anyInt();
        s.FolderRecur = anyInt();
        s.FolderShuffle = anyInt();
        text(s.LoginPass);
        text(s.AclFile);  // not in the file: a read leaves it as it is
    }

    void fillSource(ORVA_CHANNEL_SOURCE_TAG& s) {
        s.Format = between(ORVA_FORMAT_FILE, ORVA_FORMAT_HTTPMJPG);
        // Only a file source's File is quoted; any other is read after the key's blanks.
        text(s.File, {}, s.Format == ORVA_FORMAT_FILE);
        s.Video.VideoEnable = anyInt();
        s.Video.VideoCodec = videoCodec();
        s.Video.VideoSourceIP = address();
        s.Video.VideoSourcePort = port();
        text(s.Video.VideoFmtp);
        s.Audio.AudioEnable = anyInt();
        s.Audio.AudioCodec = audioCodec();
        s.Audio.AudioSampleRate = anyInt();
        s.Audio.AudioChannel = anyInt();
        s.Audio.AudioSourceIP = address();
        s.Audio.AudioSourcePort = port();
        text(s.Audio.AudioFmtp);
    }

    void fillTargetVideo(ORVA_VIDEO_TAG& v) {
        v.VideoEnable = anyInt();
        v.VideoCodec = videoCodec();
        v.VideoWidth = anyInt();
        v.VideoHeight = anyInt();
        v.VideoFrameRate = std::uniform_real_distribution<float>(0, 240)(random_);
        v.VideoKeyFrameInterval = anyInt();
        v.VideoBitRate = anyInt();
        v.VideoQuality = v.VideoBitRate > 0 ? 0 : anyInt();  // a bit rate rules out a quality
        v.VideoDeinterlace = anyInt();
        v.VideoTargetIP = address();
        v.VideoTargetPort = port();
        v.VideoGlobalHeader = chance(50);
    }

    void fillTarget(ORVA_CHANNEL_TARGET_TAG& t) {
        t.Format = between(ORVA_FORMAT_FILE, ORVA_FORMAT_HTTPMJPG);
        fillTargetVideo(t.Video);
        ORVA_AUDIO_TAG& a = t.Audio;
        a.AudioEnable = anyInt();
        a.AudioCodec = audioCodec();
        a.AudioChannel = anyInt();
        a.AudioSampleRate = anyInt();
        a.AudioBitRate = anyInt();
        a.AudioTargetIP = address();
        a.AudioTargetPort = port();
        a.AudioGlobalHeader = chance(50);
        t.MuxBitRate = anyInt();
        text(t.File);
        text(t.VideoParam, "-map ");  // the web refuses a target's own mapping
        text(t.AudioParam);
        text(t.RTMPFlashVer);
        text(t.RTMPSwfUrl);
        text(t.RTMPPubUser);
        text(t.RTMPPubPass);
    }

    void fillChannel(ORVA_CHANNEL_TAG& c) {
        c.Enable = chance(50) ? between(0, 1) : anyInt();
        c.NumInputs = between(0, kOrvaMaxSources);
        for (int k = 0; k < c.NumInputs; k++)
            fillSource(c.Sources[k]);
        text(c.SourceVideoParam);
        text(c.SourceParam);
        c.NumOutputs = between(0, kOrvaMaxTargets);
        for (int k = 0; k < c.NumOutputs; k++)
            fillTarget(c.Targets[k]);
        text(c.MapParam);
        text(c.FormatParam);
        c.Filters = between(0, kOrvaMaxFilters);
        for (int k = 0; k < c.Filters; k++)
            text(c.Filter[k]);
        text(c.TargetParam);
        c.TimeShiftSec = between(0, kOrvaMaxTimeShiftSec);
        text(c.TimeShiftCacheFolder);
        text(c.Memo);
    }

    void fillContinuity(ORVA_CHANNEL_CONTINUITY_TAG& c) {
        text(c.BackupSource);
        c.SourceTimeout = between(kOrvaMinSourceTimeoutMs, kOrvaMaxSourceTimeoutMs);
        c.AlarmBlackSec = between(0, kOrvaMaxAlarmSec);
        c.AlarmFreezeSec = between(0, kOrvaMaxAlarmSec);
        c.AlarmSilenceSec = between(0, kOrvaMaxAlarmSec);
    }

    std::mt19937 random_;
};

// A whole copy of the table and the settings, for comparing byte for byte.
struct Snapshot {
    Snapshot() : channels(new ORVA_CHANNEL_TAG[ORVA_CHANNEL_COUNT]) {
        memcpy(static_cast<void*>(channels.get()), g_orvaChannels, sizeof g_orvaChannels);
        memcpy(&settings, &g_globalSettings, sizeof settings);
    }
    std::unique_ptr<ORVA_CHANNEL_TAG[]> channels;
    std::vector<ORVA_CHANNEL_CONTINUITY_TAG> continuity{std::begin(g_orvaContinuity),
                                                        std::end(g_orvaContinuity)};
    ORVA_GLOBAL_SETTINGS settings;
};

// Where the table differs from a snapshot: the channel and the byte offset in
// its record (the pointers point at the same table, so they compare too).
std::string differenceFrom(const Snapshot& before) {
    if (memcmp(&before.settings, &g_globalSettings, sizeof before.settings) != 0)
        return "settings";
    for (int index = 0; index < ORVA_CHANNEL_COUNT; index++) {
        const auto* a = reinterpret_cast<const unsigned char*>(&before.channels[index]);
        const auto* b = reinterpret_cast<const unsigned char*>(&g_orvaChannels[index]);
        auto at = std::mismatch(a, a + sizeof(ORVA_CHANNEL_TAG), b);
        if (at.first != a + sizeof(ORVA_CHANNEL_TAG))
            return "channel " + std::to_string(index + 1) + ", byte " + std::to_string(at.first - a);
        if (memcmp(&before.continuity[static_cast<size_t>(index)], &g_orvaContinuity[index],
                   sizeof(ORVA_CHANNEL_CONTINUITY_TAG)) != 0)
            return "continuity of channel " + std::to_string(index + 1);
    }
    return "";
}

std::vector<int> configuredChannels() {
    std::vector<int> configured;
    for (int index = 0; index < ORVA_CHANNEL_COUNT; index++)
        if (isChannelValid(index))
            configured.push_back(index);
    return configured;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Drops, duplicates or swaps lines, or changes a count.
void mutate(std::vector<std::string>& lines, std::mt19937& random) {
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
    size_t at = pick(lines.size());
    switch (pick(4)) {
    case 0:
        lines.erase(lines.begin() + static_cast<long>(at));
        return;
    case 1:
        lines.insert(lines.begin() + static_cast<long>(pick(lines.size())), lines[at]);
        return;
    case 2:
        std::swap(lines[at], lines[pick(lines.size())]);
        return;
    default:
        for (size_t k = 0; k < lines.size(); k++) {
            std::string& line = lines[(at + k) % lines.size()];
            size_t key = line.find_first_not_of(' ');
            if (key == std::string::npos)
                continue;
            for (const char* count : {"NumInputs ", "NumOutputs ", "Filters "}) {
                if (line.compare(key, strlen(count), count) == 0) {
                    line = line.substr(0, key) + count + std::to_string(static_cast<int>(pick(9)) - 1);
                    return;
                }
            }
        }
    }
}

// The lines joined into a file text after `lowest` to `highest` mutations.
std::string damagedText(std::vector<std::string> lines, int lowest, int highest,
                        std::mt19937& random) {
    for (int k = std::uniform_int_distribution<int>(lowest, highest)(random); k > 0; k--)
        mutate(lines, random);
    std::string damaged;
    for (const std::string& line : lines)
        damaged += line + "\n";
    return damaged;
}

class ConfigRoundTrip : public ConfigFileTest {
protected:
    std::string save() {
        EXPECT_EQ(0, orvaExportConfig(nullptr));
        return readFile(path_);
    }
};

}  // namespace

TEST_F(ConfigRoundTrip, RandomTablesComeBackFieldForFieldAndByteForByte) {
    TableGenerator generator(20240611);
    for (int trial = 0; trial < 300; trial++) {
        SCOPED_TRACE("table " + std::to_string(trial));
        generator.fill(g_globalSettings, g_orvaChannels);
        const Snapshot written;
        const std::vector<int> configured = configuredChannels();
        const std::string first = save();

        orvaImportConfig();
        ASSERT_EQ("", differenceFrom(written));
        ASSERT_EQ(configured, configuredChannels());
        ASSERT_TRUE(first == save()) << "the second save differs";
    }
}

// The same under a locale that writes "29,97", as existing files hold.
TEST_F(ConfigRoundTrip, RandomTablesComeBackUnderAGermanEnvironment) {
    GermanEnvironment german;
    ASSERT_TRUE(german.built()) << "localedef (package locales) is needed";
    TableGenerator generator(7);
    for (int trial = 0; trial < 20; trial++) {
        SCOPED_TRACE("table " + std::to_string(trial));
        generator.fill(g_globalSettings, g_orvaChannels);
        const Snapshot written;
        const std::string first = save();
        orvaImportConfig();
        ASSERT_EQ("", differenceFrom(written));
        ASSERT_TRUE(first == save()) << "the second save differs";
    }
}

TEST_F(ConfigRoundTrip, DamagedFilesReachAFixpointAfterOneSaveAndKeepTheirChannels) {
    TableGenerator generator(42);
    std::mt19937 random(42);
    for (int table = 0; table < 15; table++) {
        generator.fill(g_globalSettings, g_orvaChannels);
        const std::vector<std::string> saved = linesOf(save());
        for (int trial = 0; trial < 20; trial++) {
            SCOPED_TRACE("table " + std::to_string(table) + ", mutation " + std::to_string(trial));
            writeFile(path_, damagedText(saved, 1, 6, random));

            orvaImportConfig();
            const Snapshot read;
            const std::vector<int> configured = configuredChannels();
            const std::string first = save();
            orvaImportConfig();
            ASSERT_EQ(configured, configuredChannels()) << "the save lost a channel";
            ASSERT_EQ("", differenceFrom(read));
            ASSERT_TRUE(first == save()) << "the second save differs";
        }
    }
}

// The text entry points share the file reader and writer: a table saved to
// text holds the bytes the file gets, and text read in memory gives the table
// the same bytes give when read from a file, damaged or not.
TEST_F(ConfigRoundTrip, TextInMemoryReadsAndSavesAsTheFileDoes) {
    TableGenerator generator(99);
    std::mt19937 random(99);
    for (int table = 0; table < 20; table++) {
        SCOPED_TRACE("table " + std::to_string(table));
        generator.fill(g_globalSettings, g_orvaChannels);
        std::string text = "left over";
        ASSERT_EQ(0, orvaExportConfigText(text));
        const std::string file = save();
        ASSERT_TRUE(text == file) << "the text and the file differ";

        const std::string damaged = damagedText(linesOf(file), 0, 4, random);
        writeFile(path_, damaged);
        const int fromFile = orvaImportConfig();
        const Snapshot read;
        memset(static_cast<void*>(g_orvaChannels), 0, sizeof g_orvaChannels);
        g_globalSettings.HTTPPort = 1;
        ASSERT_EQ(fromFile, orvaImportConfigText(damaged));
        ASSERT_EQ("", differenceFrom(read));
    }
}

// Edges of a text that a file has too: no bytes at all, a NUL inside a line,
// and a last line without its line break.
TEST_F(ConfigRoundTrip, TextEdgesReadAsTheSameBytesInAFile) {
    using namespace std::string_literals;
    const std::string texts[] = {
        ""s,
        "HTTPPort 8123\n<Channel3>\nEnable 1\n <Input>\n  Num\0Inputs 1\n"s,
        "Log 1\nHTTPPort 9000\n<Channel64>\nEnable 1\n <Output>\n  NumOutputs 1\n  <Output1>\n"
        "   Format HLS\n   VideoCodec H264\n  </Output1>\n </Output>\n <Input>\n  NumInputs 1\n"
        "  <Input1>\n   Format File\n   File \"/media/a.ts\""s,
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        // The same table before each read: a read keeps what the file does not
        // hold (the access list path, the bytes behind a text's end).
        TableGenerator(5).fill(g_globalSettings, g_orvaChannels);
        writeFile(path_, text);
        const int fromFile = orvaImportConfig();
        const Snapshot read;
        TableGenerator(5).fill(g_globalSettings, g_orvaChannels);
        ASSERT_EQ(fromFile, orvaImportConfigText(text));
        ASSERT_EQ("", differenceFrom(read));
    }
    // The last text configures channel 64 with its file source.
    EXPECT_EQ(1, orvaImportConfigText(texts[2]));
    EXPECT_STREQ("/media/a.ts", g_orvaChannels[63].Sources[0].File);
    EXPECT_EQ(9000, g_globalSettings.HTTPPort);
    EXPECT_EQ(0, orvaImportConfigText(texts[0]));
    EXPECT_FALSE(isChannelValid(63));
}
