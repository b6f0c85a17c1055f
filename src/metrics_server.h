// The metrics page on METRICS_ADDR: one thread of its own answers one scrape
// at a time, without a request slot, and closes after each answer. Scrapes
// are not requests: no access line, not counted.
#pragma once

#include <string>

#include "settings.h"

namespace ferry {

struct metrics_server;

// Listens on METRICS_ADDR and starts the scrape thread. Null, with `problem`
// set to one line naming the address and the reason, when a step fails.
metrics_server* start_metrics_server(const settings& config, std::string& problem);

// Shuts the listening socket (later scrapes are refused), ends a scrape in
// progress and waits for the thread. The server is freed.
void stop_metrics_server(metrics_server* server);

}  // namespace ferry
