// CONNECT tunnels: opened to the server (or through the parent), pumped both
// ways, parked without a thread while quiet and taken up again.
#pragma once

#include "relay_parts.h"

namespace ferry {

// After the 200 line, bytes pass both ways untouched until both sides have
// ended, or the tunnel parks.
connection_next open_tunnel(relay& r, const read_request& asked, client_connection& connection);

// A parked tunnel whose side has bytes again: the pump goes on where it stood.
connection_next resume_tunnel(relay& r, client_connection& connection);

// Where a tunnel (an Upgrade's too) stands after its pump: parked with its
// state kept in the connection, or over.
connection_next after_tunnel_pump(relay& r, client_connection& connection, unique_fd servfd,
                                  pump_end end);

}  // namespace ferry
