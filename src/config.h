// The five settings, read once from the environment before any thread exists.
#pragma once

#include <cstdint>

extern std::int64_t LISTEN_PORT;
extern std::int64_t MAX_RAM_CACHE;
extern std::int64_t MAX_HDD_CACHE;
extern std::int16_t CON_TIMEOUT;
extern std::int64_t BACKLOG;

// Returns a pointer just past the '=' when `entry` is `name` followed by '=',
// otherwise a pointer to an empty string; never null.
const char* envcmp(const char* name, const char* entry);

// Applies every recognised "KEY=value" entry of the null-terminated `env`; the
// last entry for a key wins. Always returns 0.
int rchk_conf(char** env);
