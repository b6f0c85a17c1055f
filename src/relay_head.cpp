#include "relay_head.h"

#include <cstring>
#include <span>
#include <string>

#include "answers.h"
#include "head.h"

namespace ferry {
namespace {

// A head that did not come whole: answered when something came, and logged.
void end_without_head(relay& r, const head_read& state) {
  r.record->ending =
      state.timed_out ? request_ending::client_timeout : request_ending::client_closed;
  if (state.received.size() >= max_head_size) {
    refuse(r, 431, "request head larger than 65536 bytes");
  } else if (!state.received.empty() && state.timed_out) {
    refuse(r, 408, "request head not complete within HEAD_TIMEOUT seconds");
  } else if (!state.received.empty() && !state.client_open) {
    refuse(r, 400, "request head incomplete");
  }
}

// Not HTTP at all: a client set up for TLS or SOCKS to the proxy. Ended at
// once rather than left to HEAD_TIMEOUT with a slot; a SOCKS 5 client is
// told that no method is acceptable, so it reports its error at once.
void end_foreign(relay& r, foreign_protocol protocol) {
  trace("not http: looks like ", foreign_protocol_name(protocol), "\n");
  constexpr std::string_view no_acceptable_methods("\x05\xff", 2);
  r.record->to_client += answer_without_waiting(
      r.clifd, protocol == foreign_protocol::socks5 ? no_acceptable_methods : "");
  r.record->ending = request_ending::not_http;
}

}  // namespace

// The request's method and target for the access log.
void note_request(access_record& record, const http_request& request) {
  if (!access_logging()) return;
  record.method = request.method;
  if (request.tunnel) {
    record.target = request.host + ":" + std::to_string(request.port);
    return;
  }
  record.target = "http://" + host_field_value(request);
  if (!request.path.starts_with('/')) record.target += '/';
  record.target += request.path;
}

// From a balancer: takes its PROXY header and judges the client it names.
// A header that names no client is judged once a request follows: a health
// check just closes. False when the request ends here.
bool take_balancers_client(relay& r, client_peer& peer, const deadline& until,
                           std::size_t& already) {
  if (!take_proxy_header(r.clifd, peer, *r.record, until, r.first_read, head_buffer_size(),
                         already)) {
    return false;
  }
  verdict client = judge_client(r.setup->config, peer);
  if (peer.named && !client.allowed()) {
    refuse(r, client);
    return false;
  }
  return true;
}

// Whether what came is a head to serve; when not, it has been answered or
// logged as it deserves.
bool head_to_serve(relay& r, const client_peer& peer, bool first, const head_read& state,
                   std::size_t head_size) {
  if (first && peer.proxied && !peer.named) {
    // A balancer's health check: a header without a client, then the close.
    if (state.received.empty()) r.record->written = false;
    if (verdict client = judge_client(r.setup->config, peer);
        !state.received.empty() && !client.allowed()) {
      refuse(r, client);
      return false;
    }
  }
  if (state.foreign != foreign_protocol::none) {
    end_foreign(r, state.foreign);
    return false;
  }
  if (head_size == 0) {
    end_without_head(r, state);
    return false;
  }
  return true;
}

std::span<char> head_start(relay& r, std::string& carried, std::size_t& already) {
  if (carried.empty()) return {r.first_read, head_buffer_size()};
  already = carried.size();
  if (carried.size() > head_buffer_size()) return {carried.data(), carried.size()};
  std::memcpy(r.first_read, carried.data(), already);
  return {r.first_read, head_buffer_size()};
}


}  // namespace ferry
