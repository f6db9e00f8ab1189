// orva_file_locale.h: the environment's locale for reading and writing the
// configuration file, taken by the calling thread only.
#pragma once

#include <locale.h>

// Numbers in the configuration file follow the environment's locale, as they
// always have, so existing files read the same. The locale is set for this
// thread alone and only while the object lives: command lines, documents and
// web numbers composed anywhere else in the process keep the C locale's ".".
class FileLocale {
public:
    FileLocale() : own_(newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0))) {
        // Without the environment's locale the thread's current one serves.
        if (own_)
            previous_ = uselocale(own_);
    }
    ~FileLocale() {
        if (!own_)
            return;
        uselocale(previous_);
        freelocale(own_);
    }
    FileLocale(const FileLocale&) = delete;
    FileLocale& operator=(const FileLocale&) = delete;

private:
    locale_t own_;
    locale_t previous_ = LC_GLOBAL_LOCALE;
};
