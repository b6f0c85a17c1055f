// The start of a request in the relay: a balancer's client judged, the
// request noted for the access log, and a head that cannot be served ended.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "relay_parts.h"

namespace ferry {

// Where the head is read: bytes read past the last request are its start,
// copied to the head's buffer, or read on where they lie when a larger read
// of the upload's buffer took them.
std::span<char> head_start(relay& r, std::string& carried, std::size_t& already);

// The request's method and target for the access log.
void note_request(access_record& record, const http_request& request);

// From a balancer: takes its PROXY header and judges the client it names.
// False when the request ends here.
bool take_balancers_client(relay& r, client_peer& peer, const deadline& until,
                           std::size_t& already);

// Whether what came is a head to serve; when not, it has been answered or
// logged as it deserves.
bool head_to_serve(relay& r, const client_peer& peer, bool first, const head_read& state,
                   std::size_t head_size);

}  // namespace ferry
