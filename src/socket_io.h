// Readiness-guarded transfers and the upstream connection.
#pragma once

#include <poll.h>
#include <sys/time.h>
#include <sys/types.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <string_view>
#include <vector>

#include "log.h"
#include "proxy_protocol.h"
#include "unique_fd.h"

// Bound of every write wait: IDLE_TIMEOUT seconds; negative seconds: no bound.
// Set once by main before any other thread exists.
extern timeval ti;

// Waits until `fd` is readable, then reads once, at most `count` bytes.
// Returns the bytes read, 0 at end of stream, -1 when the read or the wait
// fails, -2 when `timeout_ms` passed first (-1: no limit).
ssize_t readn(int fd, void* buffer, std::size_t count, int timeout_ms = -1);

// Writes all `count` bytes, waiting up to `ti` for writability before each
// attempt. Returns `count`, -1 when a write or wait fails, -2 when a wait times
// out. Bytes written before a failure stay written.
ssize_t writen(int fd, const void* buffer, std::size_t count);

// What read_now returns when nothing is there yet; nothing was moved.
inline constexpr ssize_t would_block = -3;

// One read of at most `count` bytes that never waits. Returns what readn
// returns, or would_block, printing nothing, when no data is there yet.
// Traced as readn traces a read that finds data waiting.
ssize_t read_now(int fd, void* buffer, std::size_t count);

// Writes what it can of chunk[done, size) without waiting. Returns the bytes
// written, 0 when the descriptor takes none now, -1 when the write fails.
// Traced as writen traces the chunk: its first line when `done` is 0, its
// last when the chunk is complete.
ssize_t write_now(int fd, const char* chunk, std::size_t size, std::size_t done);

// A peer that closed or failed counts as ready: the transfer then reports it.
inline constexpr short ready_events = POLLHUP | POLLERR;

// The IPv4 addresses of `host` on service `serv`, in the resolver's order;
// none, with a trace line, when the name does not resolve.
std::vector<sockaddr_in> resolve(const char* host, const char* serv);

// Connects to the first of `addresses` that accepts, waiting at most
// `timeout_ms` for each (0 or less: the kernel's own limit). Returns the
// connected descriptor (non-blocking when timed), or -1 with
// `every_one_timed_out` saying whether each address failed by the time limit.
int connect_first(const std::vector<sockaddr_in>& addresses, int timeout_ms,
                  bool* every_one_timed_out = nullptr);

// Connects to the first IPv4 address of `host` that accepts, on service
// `serv`, with the kernel's own connect limit. Returns the connected
// descriptor, or -1.
int tcp_connect(const char* host, const char* serv);

// The longest PROXY header ferry takes.
inline constexpr std::size_t proxy_header_limit = 1024;

// Reads the PROXY header at the start of `fd` into `buffer`, waiting at most
// `timeout_ms` in all (-1: no limit); `received` is what was read, the header
// and maybe bytes after it. Returns false when the bytes are not a header,
// the peer ends or fails, the time runs out, or the header is longer than
// proxy_header_limit. `capacity` must be above that limit.
bool read_proxy_header(int fd, proxy_header& header, int timeout_ms, char* buffer,
                       std::size_t capacity, std::size_t& received);
