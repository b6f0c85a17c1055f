// Connection intake: request threads that wait on the waiting room
// themselves and serve what the kernel wakes them for, and the stop that lets
// requests in flight finish.
#pragma once

#include "policy_files.h"
#include "settings.h"

namespace ferry {

// The listening socket, the slot table, the waiting room and the request
// threads, for one set of settings.
struct intake;

// Makes the intake with its slot table; null, with one line on standard
// error, when the table cannot be allocated. It lives as long as the process.
intake* create_intake(const settings& config);

// The users and host lists that SIGHUP reads again.
policy_files& files_of(intake& in);

// Binds, listens, says so, and starts the first request thread. Returns 0,
// or the exit status after one line on standard error.
int start_intake(intake& in);

// Closes the listening socket, so new connections are refused, and waits for
// the first request thread to end. Requests in flight go on.
void stop_intake(intake& in);

// Requests being served now, their slots taken.
long requests_in_flight(const intake& in);

// For a stop, after stop_intake: closes the connections waiting for bytes or
// for a slot and ends the requests whose head is not complete yet.
void close_unstarted_requests(intake& in);

// Ends every request still served: each writes its access line, ending
// "stopped", and frees its slot.
void cut_requests(intake& in);

}  // namespace ferry
