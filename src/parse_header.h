// Request head rewrite and scan: pure functions over bytes, no sockets, no globals.
#pragma once

#include "com_header.h"

// Returns a new heap string (free() it) with every non-overlapping occurrence
// of `find` in `from` replaced by `replace`, or null when it cannot allocate.
// `find` must not be empty.
char* strrep(const char* from, const char* find, const char* replace);

// Rewrites "Proxy-Connection: Keep-Alive\r\n" to "Proxy-Connection: Close\r\n"
// in the zero-terminated `buff` (at most 4096 bytes) and fills `*hpp` from the
// text as received. Always returns 0.
int parse_header(char* buff, http_header* hpp);
