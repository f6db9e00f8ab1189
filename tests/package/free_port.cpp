// free_port.cpp: prints a free TCP port on the loopback address, so that the
// package tests' shell scripts give their daemons ports of their own.
#include <cstdio>

#include "test_support.h"

int main() {
    int port = freePort();
    if (port <= 0)
        return 1;
    printf("%d\n", port);
    return 0;
}
