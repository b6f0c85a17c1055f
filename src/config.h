// The settings, read once from the environment before any thread exists.
#pragma once

#include <cstdint>
#include <string>

#include "address_list.h"
#include "log.h"

// Every setting is checked: a value that does not parse leaves the default in
// place and is named in conf_problem, and start-up stops.
extern std::uint16_t LISTEN_PORT;     // 0: the system picks
extern std::int64_t MAX_RAM_CACHE;    // accepted, not used: ferry does not cache
extern std::int64_t MAX_HDD_CACHE;    // accepted, not used
extern std::uint16_t CON_TIMEOUT;     // seconds a connect may take; 0: the kernel's limit
extern std::int64_t BACKLOG;          // request slots, 1 to max_backlog

inline constexpr std::int64_t max_backlog = 2147483645;  // INT_MAX - 2: the table's indices

extern std::uint32_t LISTEN_ADDR;     // host order; default 0.0.0.0
extern address_list ALLOW;            // clients that may connect; default 127.0.0.0/8
extern address_list DENY_TO;          // destinations refused to clients off this machine; may hold self
extern port_list CONNECT_PORTS;       // ports a tunnel may reach; default 443
extern std::uint16_t HEAD_TIMEOUT;    // seconds to complete a head; 0: no limit
extern std::uint16_t IDLE_TIMEOUT;    // seconds a relay may pass no byte; 0: no limit
extern address_list PROXY_FROM;       // balancers whose connections start with a PROXY header
extern std::uint16_t NAME_CACHE;      // seconds a name lookup is reused; 0: every request looks up
// LOG (trace, access or off) lives in log.h.

// Empty when every checked setting parsed; otherwise the one line (no
// newline) that names the first bad one and its value.
extern std::string conf_problem;

// Returns a pointer just past the '=' when `entry` is `name` followed by '=',
// otherwise a pointer to an empty string; never null.
const char* envcmp(const char* name, const char* entry);

// Applies every recognised "KEY=value" entry of the null-terminated `env`; the
// last entry for a key wins. Always returns 0; a bad checked setting is
// reported through conf_problem.
int rchk_conf(char** env);
