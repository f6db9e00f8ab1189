// orva_machine.cpp: what the launcher asks of the machine it runs on.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "orva_rewrite.h"

namespace {

bool isWildcardOrLoopback(std::string_view host) {
    return host.empty() || host == "0.0.0.0" || host == "localhost" || host == "::" || host == "::1" ||
           host.starts_with("127.");
}

// The textual form of one interface address, or "".
std::string addressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address && address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address && address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return text;
}

bool isInterfaceAddress(std::string_view host) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(list, freeifaddrs);
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next)
        if (addressText(entry->ifa_addr) == host)
            return true;
    return false;
}

}  // namespace

FfMachine ffThisMachine() {
    FfMachine machine;
    machine.hasNvidia = access("/dev/nvidia0", F_OK) == 0;
    machine.hasRenderNode = access("/dev/dri/renderD128", F_OK) == 0;
    const char* targets = std::getenv(kTargetsVariable);
    machine.targets = targets ? targets : "";
    machine.isLocalHost = [](std::string_view host) {
        return isWildcardOrLoopback(host) || isInterfaceAddress(host);
    };
    return machine;
}
