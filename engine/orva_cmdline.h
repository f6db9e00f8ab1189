// orva_cmdline.h: the command-line builder's pieces, shared by the input,
// target and launch files and open to the tests.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "orva_engine.h"
#include "orva_text.h"

// A text of a request, narrow whatever the width of the request: a narrow
// text is used in place, a wide one is converted to multibyte in the current
// locale. The view always ends at a terminating NUL.
class RequestText {
public:
    RequestText(const void* text, int wide);
    RequestText(const RequestText&) = delete;
    RequestText& operator=(const RequestText&) = delete;

    // False when a wide text could not be converted whole.
    bool converted() const { return converted_; }
    std::string_view view() const { return view_; }
    const char* c_str() const { return view_.data(); }
    bool empty() const { return view_.empty(); }

private:
    char buffer_[kOrvaLineSize];
    std::string_view view_{""};
    bool converted_ = true;
};

// One target while its part of the line is written.
struct OrvaTarget {
    const ORVA_OUTPUT_TAG& record;
    std::string_view address;
    std::string_view options;
    size_t lineStart;  // where this target's part of the line begins
    int outputs = 0;   // output addresses written: an RTP target writes audio and video apart
};

// Writes the whole command line of a request; 0 or a start result. A line
// that would not fit is refused with ORVA_ERR_LINE_TOO_LONG, never cut.
// `targetOfOutput`, when given, receives the target number (the record's
// place in `outputs`, from 1) of each output of the line, in line order.
int orvaComposeLine(int slot, const ORVA_INPUT_TAG* inputs, int inputCount,
                    const ORVA_OUTPUT_TAG* outputs, int outputCount, int wide, TextCursor& line,
                    std::vector<int>* targetOfOutput = nullptr);

// rtpOrdinal counts the RTP inputs of the request from 1 (0 for the others).
int orvaAppendInput(TextCursor& line, int slot, const ORVA_INPUT_TAG& input, int wide,
                    int rtpOrdinal);
// `outputsWritten` receives the number of output addresses the target wrote.
int orvaAppendOutput(TextCursor& line, int slot, const ORVA_OUTPUT_TAG& output, int wide,
                     int& outputsWritten);
int orvaAppendVideo(TextCursor& line, OrvaTarget& target);

// Dotted form of an IPv4 address kept in the low 32 bits of a request field.
const char* orvaDottedAddress(uint64_t address);
bool orvaStartsWithNoCase(std::string_view text, std::string_view prefix);
// Appends the text and a blank, or the text in double quotes and a blank.
void orvaAppendWord(TextCursor& line, std::string_view text);
void orvaAppendQuoted(TextCursor& line, std::string_view text);
