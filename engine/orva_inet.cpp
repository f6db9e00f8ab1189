// orva_inet.cpp: dotted IPv4 texts for addresses kept in network byte order.
#include <arpa/inet.h>
#include <netinet/in.h>

#include "orva.h"

extern "C" {

const char* Inet_ntoa(unsigned long address) {
    in_addr a{};
    a.s_addr = static_cast<in_addr_t>(address);
    return inet_ntoa(a);
}

unsigned int Inet_addr(const char* text) {
    return text ? static_cast<unsigned int>(inet_addr(text)) : INADDR_NONE;
}

}  // extern "C"
