// orva_pipe.cpp: small writers for the command pipe of a slot.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "orva.h"

extern "C" {

long pipeWrite(int fd, const void* data, unsigned long length) {
    return static_cast<long>(write(fd, data, length));
}

long pipeWriteStr(int fd, const char* text) {
    return pipeWrite(fd, text, strlen(text));
}

long pipePrintf(int fd, const char* format, ...) {
    char buffer[1000];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buffer, sizeof buffer, format, ap);
    va_end(ap);
    if (n < 0)
        return -1;
    // Longer texts are cut to 999 characters, as documented for this writer.
    return pipeWriteStr(fd, buffer);
}

}  // extern "C"
