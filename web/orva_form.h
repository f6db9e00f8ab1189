// orva_form.h: the one reader of form fields, for POST bodies sent as
// application/x-www-form-urlencoded and for the argument texts of requests.
//
// A form is split into fields at "&"; a field is "name=value", or a bare
// "name" with an empty value. A name matches only whole, and each value is
// decoded exactly once: "+" is a blank, "%XX" the byte XX, and a "%" not
// followed by two hex digits stays as it is. So an "&", "+" or "=" that the
// browser escaped inside a value never splits it or changes it.
#pragma once

#include <cstddef>
#include <string_view>

#include "engine/orva_text.h"

struct OrvaFormField {
    std::string_view name;
    std::string_view value;  // still encoded
    bool hasValue;           // the name was followed by "="
};

// Walks the fields of a form in order; empty pieces (as in "a=1&&b=2", or a
// leading "&") are no fields.
class OrvaFormReader {
public:
    explicit OrvaFormReader(std::string_view form) : rest_(form) {}
    bool next(OrvaFormField& field);

private:
    std::string_view rest_;
};

enum {
    ORVA_FORM_MISSING = 0,
    ORVA_FORM_FOUND = 1,
    ORVA_FORM_TOO_LONG = -1,  // the decoded value did not fit; `out` must not be used
};

// The first field named `name`; false when the form has none.
bool orvaFormField(std::string_view form, std::string_view name, OrvaFormField& found);

// Decodes the value of the first field named `name` into `out`. The value may
// hold any byte, NUL included ("%00"): take it as out.view(), not as a C text.
int orvaFormValue(std::string_view form, std::string_view name, TextCursor& out);

// Decodes one encoded value; sets out.truncated when it did not fit.
void orvaFormDecode(TextCursor& out, std::string_view encoded);

// The length of the form once every escape in it is decoded.
size_t orvaFormDecodedLength(std::string_view form);
