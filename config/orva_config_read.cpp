// orva_config_read.cpp: reads the configuration file into the settings and
// the channel table.
//
// DESIGN: the reader walks the file once. Outside channel blocks it looks for
// settings and for the opening tag of the next channel to take; every other
// line (headers, multipart upload lines, tags of other channels) is passed
// over. A block that does not give a configured channel is not taken, and the
// reader keeps looking for a block with the same number, so the taken
// channels stay dense from index 0.
#include <strings.h>
#include <sys/stat.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "engine/orva_text.h"
#include "orva_config.h"

namespace {

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Hands out the file line by line with its leading blanks and tabs skipped. A
// line longer than the buffer comes out as several lines.
class LineReader {
public:
    explicit LineReader(FILE* file) : file_(file) {}

    bool next() {
        if (!fgets(buffer_, sizeof buffer_, file_))
            return false;
        line_ = buffer_ + strspn(buffer_, " \t");
        return true;
    }
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

private:
    FILE* file_;
    char buffer_[ORVA_TEXT_SIZE];
    const char* line_ = buffer_;
};

// The `count` numbered sub-blocks that follow a count line. A line where a
// sub-block should open is passed over.
template <typename Record, size_t N>
void readSubBlocks(LineReader& lines, int count, const char* open, const char* close,
                   Record (&records)[N], void (*parse)(const char*, Record&)) {
    for (int k = 1; k <= count && k <= static_cast<int>(N); k++) {
        if (!lines.next())
            return;
        if (!lines.beginsNumbered(open, k))
            continue;
        while (lines.next() && !lines.beginsNumbered(close, k))
            parse(lines.line(), records[k - 1]);
    }
}

void readInputBlock(LineReader& lines, ORVA_CHANNEL_TAG& channel) {
    channel.NumInputs = 1;
    while (lines.next() && !lines.begins("</Input>")) {
        parseChannelLine(lines.line(), channel, OrvaConfigBlock::Input);
        if (lines.begins("NumInputs "))
            readSubBlocks(lines, channel.NumInputs, "<Input", "</Input", channel.Sources,
                          parseInputSubBlock);
        else
            parseInputSubBlock(lines.line(), channel.Sources[0]);
    }
}

void readOutputBlock(LineReader& lines, ORVA_CHANNEL_TAG& channel) {
    channel.NumOutputs = 1;
    while (lines.next() && !lines.begins("</Output>")) {
        parseChannelLine(lines.line(), channel, OrvaConfigBlock::Output);
        if (lines.begins("NumOutputs "))
            readSubBlocks(lines, channel.NumOutputs, "<Output", "</Output", channel.Targets,
                          parseOutputSubBlock);
        else
            parseOutputSubBlock(lines.line(), channel.Targets[0]);
    }
}

// A block without its closing tag runs to the end of the file.
void readChannelBlock(LineReader& lines, int channel) {
    ORVA_CHANNEL_TAG& record = g_orvaChannels[channel];
    while (lines.next()) {
        if (lines.beginsNumbered("</Channel", channel + 1) ||
            lines.beginsNumbered("</Slot", channel + 1))
            return;
        if (lines.begins("<Input>"))
            readInputBlock(lines, record);
        else if (lines.begins("<Output>"))
            readOutputBlock(lines, record);
        else
            parseChannelLine(lines.line(), record, OrvaConfigBlock::Channel);
    }
}

bool opensChannel(const LineReader& lines, int channel) {
    return lines.beginsNumbered("<Channel", channel + 1) ||
           lines.beginsNumbered("<Slot", channel + 1);
}

// Channel start hands these addresses to the engine; a source without a File
// line (RTP) then holds an empty text rather than none.
void pointAddressesAtFiles() {
    for (ORVA_CHANNEL_TAG& channel : g_orvaChannels) {
        for (ORVA_CHANNEL_SOURCE_TAG& source : channel.Sources)
            source.pszAddress = source.File;
        for (ORVA_CHANNEL_TARGET_TAG& target : channel.Targets)
            target.pszAddress = target.File;
    }
}

FilePtr openForReading(const char* path) {
    FilePtr file(fopen(path, "re"));
    struct stat st;
    // A folder opens but reads as nothing; it must not wipe the configuration.
    if (file && (fstat(fileno(file.get()), &st) != 0 || S_ISDIR(st.st_mode)))
        file.reset();
    return file;
}

}  // namespace

int orvaImportConfig() {
    const char* path = orvaGetConfigFile();
    if (path[0] == '\0')
        return 0;
    FilePtr file = openForReading(path);
    if (!file)
        return 0;
    orvaSetFileReadDefaults(g_globalSettings);
    memset(g_orvaChannels, 0, sizeof g_orvaChannels);
    setlocale(LC_ALL, "");

    LineReader lines(file.get());
    int taken = 0;
    while (taken < ORVA_CHANNEL_COUNT && lines.next()) {
        parseSettingsLine(lines.line(), g_globalSettings);
        if (!opensChannel(lines, taken))
            continue;
        readChannelBlock(lines, taken);
        if (isChannelValid(taken))
            taken++;
    }
    pointAddressesAtFiles();
    if (g_globalSettings.Log == 1)
        g_globalSettings.Log = 32;
    return taken;
}
