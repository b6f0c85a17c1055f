// What the relay's own units (relay, tunnel, relay_head) share: one request
// on its way, and the steps more than one of them takes.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "answer_head.h"
#include "head.h"
#include "pump.h"
#include "relay.h"
#include "request_head.h"

namespace ferry {

// One request on its way through the relay.
struct relay {
  const relay_setup* setup = nullptr;
  access_record* record = nullptr;
  cut_point* cut = nullptr;  // null when no stop can reach this request
  int clifd = -1;
  relay_scratch* scratch = nullptr;
  char* first_read = nullptr;  // head_buffer_size(): the head, then the answer's first reads
  pump flows;
  answer_editor editor;
};

// A request's head as read, and where it ends in what was received.
struct read_request {
  http_request request;
  std::string_view head;
  const head_read* state = nullptr;
  std::size_t head_size = 0;
};

// How long one write may wait: IDLE_TIMEOUT; negative for no limit.
std::chrono::milliseconds write_limit(const relay& r);

// Whether all of `bytes` went to `fd` within write_limit.
bool write_all_to(const relay& r, int fd, std::string_view bytes);

// Answers the request itself with `status` and a one-line body, then closes
// gently; `fields` (whole lines) go in the answer's head.
void refuse(relay& r, int status, std::string_view body_line, std::string_view fields = {});
void refuse(relay& r, const verdict& refusal);

// Picks the request's way, or answers the refusal itself and returns false.
bool plan_or_refuse(relay& r, const http_request& request, const client_peer& peer, route& way);

// Connects along `way`, or answers the client itself and returns an empty
// owner. A tunnel through the parent leaves what the parent sent after its
// answer in `early`.
unique_fd connect_upstream(relay& r, const http_request& request, const client_peer& peer,
                           route& way, std::string* early = nullptr);

// The head as the trace shows it, when tracing.
void print_head(std::string_view head);

// Pumps both flows between the client and `servfd` until the relay ends.
pump_end run_pump(relay& r, int servfd, bool client_open, bool upload_ready);

void report_server_write_failure(access_record& record);

}  // namespace ferry
