// orva_acl.h: the address access list of the management server.
//
// Each line is "<keyword> <a.b.c.d>[/<n>]"; the first line whose range covers
// the client decides: "deny" (any case) turns it away, any other keyword lets
// it in. A client no line covers is let in.
#pragma once

#include <cstdint>
#include <cstdio>

// `address` is the client's IPv4 address in host order (first octet highest).
// Returns 1 when the client is allowed, 0 when it is denied.
int orvaAclAllows(FILE* list, uint32_t address);
// The same for the list at `path`; a missing or unreadable file allows everyone.
int orvaAclCheck(const char* path, uint32_t address);
