// orva_config_read.cpp: reads the configuration file into the settings and
// the channel table.
//
// DESIGN: the reader walks the file once. Outside channel blocks it applies
// settings lines and passes over every other line (headers, multipart upload
// lines, tags of numbers outside 1 to 64). Each block "<ChannelN>" or
// "<SlotN>" is read into channel N - 1, whatever came before it, so a table
// with gaps between its configured channels reads back as it was saved. A
// later block with the same number replaces the earlier one, as a later line
// replaces an earlier one with the same key. Every block is kept, configured
// or not, and brought into the form the writer writes (orvaNormaliseChannel),
// so a saved file is a fixpoint. The result counts the configured channels.
//
// A channel tag ends every block open inside a channel, and an input or
// output block also ends where the other one opens: a lost closing tag never
// swallows the channels behind it.
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "engine/orva_text.h"
#include "orva_config.h"
#include "orva_file_locale.h"

namespace {

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Hands out the file line by line, each whole however long, with its leading
// blanks and tabs skipped. A line handed back is handed out again next.
class LineReader {
public:
    explicit LineReader(FILE* file) : file_(file) {}
    ~LineReader() { free(buffer_); }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    bool next() {
        if (handedBack_) {
            handedBack_ = false;
            return true;
        }
        if (getline(&buffer_, &capacity_, file_) < 0)
            return false;
        line_ = buffer_ + strspn(buffer_, " \t");
        return true;
    }
    void handBack() { handedBack_ = true; }
    const char* line() const { return line_; }
    bool begins(std::string_view key) const {
        return strncasecmp(line_, key.data(), key.size()) == 0;
    }
    // Tags such as "<Input2>": `prefix` followed by the number and ">".
    bool beginsNumbered(const char* prefix, int number) const {
        char tag[32];
        TextCursor t(tag, sizeof tag);
        appendf(t, "%s%d>", prefix, number);
        return begins(t.view());
    }
    // Any tag `prefix` followed by a digit.
    bool beginsAnyNumbered(std::string_view prefix) const {
        return begins(prefix) && isdigit(static_cast<unsigned char>(line_[prefix.size()]));
    }

private:
    FILE* file_;
    char* buffer_ = nullptr;
    size_t capacity_ = 0;
    const char* line_ = "";
    bool handedBack_ = false;
};

// The number N of a tag `prefix` N ">", N from 1 to ORVA_CHANNEL_COUNT written
// without a leading zero; 0 for any other line.
int tagNumber(const char* line, std::string_view prefix) {
    if (strncasecmp(line, prefix.data(), prefix.size()) != 0)
        return 0;
    const char* digits = line + prefix.size();
    size_t length = strspn(digits, "0123456789");
    if (length == 0 || length > 2 || digits[0] == '0' || digits[length] != '>')
        return 0;
    int number = 0;
    for (size_t i = 0; i < length; i++)
        number = number * 10 + (digits[i] - '0');
    return number <= ORVA_CHANNEL_COUNT ? number : 0;
}

// The channel number of "<ChannelN>" or the older "<SlotN>" (closing:
// "</ChannelN>", "</SlotN>"); 0 for any other line.
int channelTagNumber(const LineReader& lines, bool closing) {
    const char* line = lines.line();
    if (closing)
        return std::max(tagNumber(line, "</Channel"), tagNumber(line, "</Slot"));
    return std::max(tagNumber(line, "<Channel"), tagNumber(line, "<Slot"));
}

bool endsChannel(const LineReader& lines, int number) {
    return channelTagNumber(lines, false) != 0 || channelTagNumber(lines, true) == number;
}

// The words of one kind of block inside a channel.
struct BlockWords {
    const char* open;         // "<Input>"
    const char* close;        // "</Input>"
    const char* otherOpen;    // "<Output>": the other block opens, so this one has ended
    const char* countKey;     // "NumInputs "
    const char* subOpen;      // "<Input" of "<Input1>"
    const char* subClose;     // "</Input" of "</Input1>"
};

constexpr BlockWords kInputWords = {"<Input>", "</Input>", "<Output>", "NumInputs ", "<Input",
                                    "</Input"};
constexpr BlockWords kOutputWords = {"<Output>", "</Output>", "<Input>", "NumOutputs ",
                                     "<Output", "</Output"};

// A line that ends the enclosing block as well is handed back to it.
bool endsEnclosing(LineReader& lines, const BlockWords& words, int channel) {
    if (!endsChannel(lines, channel) && !lines.begins(words.close) &&
        !lines.begins(words.otherOpen))
        return false;
    lines.handBack();
    return true;
}

template <typename Record>
void readSubBlock(LineReader& lines, const BlockWords& words, int channel, int k, Record& record,
                  void (*parse)(const char*, Record&)) {
    while (lines.next() && !lines.beginsNumbered(words.subClose, k)) {
        if (endsEnclosing(lines, words, channel))
            return;
        if (lines.beginsAnyNumbered(words.subOpen)) {
            lines.handBack();  // the next sub-block: this one lost its closing tag
            return;
        }
        parse(lines.line(), record);
    }
}

// The numbered sub-blocks that follow a count line, in order. A line where
// the next sub-block should open ends them and is read as a line of the block.
template <typename Record, size_t N>
void readSubBlocks(LineReader& lines, const BlockWords& words, int channel, int count,
                   Record (&records)[N], void (*parse)(const char*, Record&)) {
    for (int k = 1; k <= count && k <= static_cast<int>(N); k++) {
        if (!lines.next())
            return;
        if (!lines.beginsNumbered(words.subOpen, k)) {
            lines.handBack();
            return;
        }
        readSubBlock(lines, words, channel, k, records[k - 1], parse);
    }
}

// Lines outside the numbered sub-blocks belong to the first record.
template <typename Record, size_t N>
void readBlock(LineReader& lines, const BlockWords& words, ORVA_CHANNEL_TAG& record, int channel,
               int32_t& count, Record (&records)[N], void (*parse)(const char*, Record&),
               OrvaConfigBlock block) {
    count = 1;
    while (lines.next() && !lines.begins(words.close)) {
        if (endsChannel(lines, channel) || lines.begins(words.otherOpen)) {
            lines.handBack();
            return;
        }
        parseChannelLine(lines.line(), record, block);
        if (lines.begins(words.countKey))
            readSubBlocks(lines, words, channel, count, records, parse);
        else
            parse(lines.line(), records[0]);
    }
}

void readChannelBlock(LineReader& lines, int channel, ORVA_CHANNEL_TAG& record,
                      ORVA_CHANNEL_CONTINUITY_TAG& continuity) {
    memset(static_cast<void*>(&record), 0, sizeof record);
    continuity = {};
    while (lines.next() && channelTagNumber(lines, true) != channel) {
        if (channelTagNumber(lines, false) != 0) {
            lines.handBack();
            break;
        }
        if (lines.begins(kInputWords.open))
            readBlock(lines, kInputWords, record, channel, record.NumInputs, record.Sources,
                      parseInputSubBlock, OrvaConfigBlock::Input);
        else if (lines.begins(kOutputWords.open))
            readBlock(lines, kOutputWords, record, channel, record.NumOutputs, record.Targets,
                      parseOutputSubBlock, OrvaConfigBlock::Output);
        else if (!parseContinuityLine(lines.line(), continuity))
            parseChannelLine(lines.line(), record, OrvaConfigBlock::Channel);
    }
    orvaNormaliseChannel(record);
    orvaNormaliseContinuity(continuity);
}

// Channel start hands these addresses to the engine; a source without a File
// line (RTP) then holds an empty text rather than none.
void pointAddressesAtFiles(ORVA_CHANNEL_TAG* table) {
    for (int index = 0; index < ORVA_CHANNEL_COUNT; index++)
        orvaPointAddressesAtFiles(table[index]);
}

FilePtr openForReading(const char* path) {
    FilePtr file(fopen(path, "re"));
    struct stat st;
    // A folder opens but reads as nothing; it must not wipe the configuration.
    if (file && (fstat(fileno(file.get()), &st) != 0 || S_ISDIR(st.st_mode)))
        file.reset();
    return file;
}

// The file or text at `in`, read from its start into the settings and the
// table of ORVA_CHANNEL_COUNT records with their continuity settings;
// returns the number of configured channels.
int readConfig(FILE* in, ORVA_GLOBAL_SETTINGS& settings, ORVA_CHANNEL_TAG* table,
               ORVA_CHANNEL_CONTINUITY_TAG* continuity) {
    orvaSetFileReadDefaults(settings);
    memset(static_cast<void*>(table), 0, sizeof(ORVA_CHANNEL_TAG) * ORVA_CHANNEL_COUNT);
    for (int channel = 0; channel < ORVA_CHANNEL_COUNT; channel++)
        continuity[channel] = {};
    FileLocale locale;

    LineReader lines(in);
    while (lines.next()) {
        if (int channel = channelTagNumber(lines, false))
            readChannelBlock(lines, channel, table[channel - 1], continuity[channel - 1]);
        else
            parseSettingsLine(lines.line(), settings);
    }
    pointAddressesAtFiles(table);
    orvaNormaliseSettings(settings);
    int configured = 0;
    for (int channel = 0; channel < ORVA_CHANNEL_COUNT; channel++)
        configured += orvaIsRecordConfigured(table[channel]) ? 1 : 0;
    return configured;
}

FILE* openText(std::string_view text) {
    // The stream only reads, so the text is never written through the cast.
    return fmemopen(const_cast<char*>(text.empty() ? "" : text.data()), text.size(), "r");
}

}  // namespace

int orvaImportConfig() {
    const char* path = orvaGetConfigFile();
    if (path[0] == '\0')
        return 0;
    FilePtr file = openForReading(path);
    if (!file)
        return 0;
    return readConfig(file.get(), g_globalSettings, g_orvaChannels, g_orvaContinuity);
}

int orvaImportConfigText(std::string_view text) {
    FilePtr stream(openText(text));
    if (!stream)
        return -1;
    return readConfig(stream.get(), g_globalSettings, g_orvaChannels, g_orvaContinuity);
}

int orvaReadConfigText(std::string_view text, ORVA_GLOBAL_SETTINGS& settings,
                       ORVA_CHANNEL_TAG* table, ORVA_CHANNEL_CONTINUITY_TAG* continuity) {
    FilePtr stream(openText(text));
    if (!stream)
        return -1;
    if (continuity)
        return readConfig(stream.get(), settings, table, continuity);
    auto unused = std::make_unique<ORVA_CHANNEL_CONTINUITY_TAG[]>(ORVA_CHANNEL_COUNT);
    return readConfig(stream.get(), settings, table, unused.get());
}

bool orvaHoldsConfiguration(std::string_view text) {
    FilePtr stream(openText(text));
    if (!stream)
        return false;
    ORVA_GLOBAL_SETTINGS scratch{};
    FileLocale locale;
    LineReader lines(stream.get());
    while (lines.next()) {
        if (channelTagNumber(lines, false) != 0 || parseSettingsLine(lines.line(), scratch))
            return true;
    }
    return false;
}

void orvaPointAddressesAtFiles(ORVA_CHANNEL_TAG& channel) {
    for (ORVA_CHANNEL_SOURCE_TAG& source : channel.Sources)
        source.pszAddress = source.File;
    for (ORVA_CHANNEL_TARGET_TAG& target : channel.Targets)
        target.pszAddress = target.File;
}
