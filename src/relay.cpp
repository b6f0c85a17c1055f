#include "relay.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "answer_head.h"
#include "answers.h"
#include "forward_head.h"
#include "head.h"
#include "net.h"
#include "pump.h"
#include "relay_head.h"
#include "relay_parts.h"
#include "request_head.h"
#include "text.h"
#include "transfer.h"
#include "tunnel.h"

namespace ferry {

namespace {

// Up to this many names are kept for NAME_CACHE seconds.
constexpr std::size_t names_kept = 256;

bool judges_host_names(const settings& config) {
  return !config.allowed_hosts_value.empty() || !config.denied_hosts_value.empty();
}

// Who the client is and whether its host may be reached, before anything is
// looked up or connected: AUTH_FILE's users, then ALLOW_HOSTS and DENY_HOSTS.
// Each request on a kept connection carries its own credentials.
verdict admit_request(relay& r, const http_request& request) {
  const policy_files& files = *r.setup->files;
  if (credential_cache* users = files.users(); users != nullptr) {
    verdict user =
        judge_credentials(*users, request.proxy_authorization, request.proxy_authorization_fields,
                          r.record->user, std::chrono::steady_clock::now());
    if (!user.allowed()) return user;
  }
  if (!judges_host_names(r.setup->config)) return {};
  return judge_host_name(*files.hosts(), request.host);
}

// The Connection field (and Upgrade) that goes to the server: close unless
// connections are kept and the client means to keep its own, since without
// a pool the server's connection lives no longer than the client's. With
// one, a client's close is its own and the server's connection may serve
// another client.
std::string fields_to_server(const relay& r, const http_request& request) {
  if (r.setup->config.keepalive_timeout_seconds == 0 ||
      (request.close_wanted && r.setup->pool == nullptr)) {
    return std::string(close_connection_field);
  }
  // An HTTP/1.0 request line goes on as it came, so the server needs the word.
  if (!request.upgrade_wanted || request.close_wanted) {
    return before_http_1_1(request.version) ? "Connection: keep-alive\r\n" : "";
  }
  return "Connection: upgrade\r\nUpgrade: " + std::string(request.upgrade) + "\r\n";
}

// What the relay needs of the request once the answer is read into the
// buffer its head's views point into.
struct request_summary {
  std::string method;
  bool old_client = false;  // HTTP/1.0 or earlier: no interim answers, keep-alive said aloud
  bool upgrade_asked = false;  // the server was asked to switch protocols
  bool close_wanted = false;
  bool client_open = false;  // the client had not ended its side with the head
  bool body_expected = false;
  bool keeping = false;  // connections may carry further requests
  // A server connection taken up again may have been closed by the server
  // meanwhile: a request that can be sent twice is then sent once more.
  bool retry_allowed = false;
};

request_summary summarize(const relay& r, const read_request& asked) {
  const http_request& request = asked.request;
  request_summary summary;
  summary.method = request.method;
  summary.old_client = before_http_1_1(request.version);
  summary.keeping = r.setup->config.keepalive_timeout_seconds > 0;
  summary.close_wanted = request.close_wanted;
  // As fields_to_server passes the wish on.
  summary.upgrade_asked = summary.keeping && !request.close_wanted && request.upgrade_wanted;
  summary.client_open = asked.state->client_open;
  summary.body_expected = request.body_expected;
  summary.retry_allowed = (request.method == "GET" || request.method == "HEAD") &&
                          request.body.kind == body_kind::none;
  return summary;
}

// The server connection along `way`: the one kept from the last request
// that went the same way while still clean, else one from the pool, else a
// new one. Empty, with the client answered, when none can be made.
unique_fd server_for(relay& r, const http_request& request, client_connection& connection,
                     route& way, bool retry_allowed, bool& reused) {
  reused = connection.server.get() >= 0 && connection.server_target == way.key &&
           still_quiet(connection.server.get());
  if (reused) {
    trace_line("server connection taken up again");
    return std::move(connection.server);
  }
  // Kept for another target: another client may want it.
  if (connection.server_target != way.key) give_back_server(connection, *r.setup);
  connection.server.reset();
  connection.server_bound = false;
  unique_fd pooled =
      take_pooled(*r.setup, connection.peer, connection.pool_user, way, retry_allowed);
  reused = pooled.get() >= 0;
  if (reused) return pooled;
  return connect_upstream(r, request, connection.peer, way);
}

// Keeps a server connection whose answer ended cleanly. While its client
// may ask again at once it stays at hand, tied to the client connection,
// and goes to the pool when the client goes quiet or away (give_back_server);
// without a pool, or bound to this client by its authentication, it serves
// this client connection's next request only.
void keep_server(relay& r, client_connection& connection, unique_fd servfd,
                 const std::string& target, bool client_kept, bool bound) {
  connection.server = std::move(servfd);
  connection.server_target = target;
  connection.server_bound = bound;
  if (!client_kept) {
    give_back_server(connection, *r.setup);
    connection.server.reset();
  }
}

// With connections kept, only the request's own body goes on with its head;
// what follows it is the next request's. False, with the client answered,
// when that body cannot be read.
bool take_early_body(relay& r, const read_request& asked, bool keeping, message_bounds& bounds,
                     std::string& sent) {
  std::string_view after_head = asked.state->received.substr(asked.head_size);
  if (keeping) {
    bounds.upload = body_tracker(asked.request.body);
    std::size_t taken = bounds.upload.feed(after_head);
    bounds.carried.assign(after_head.substr(taken));
    after_head = after_head.substr(0, taken);
    if (bounds.upload.failed()) {
      refuse(r, 400, "bad chunked request body");
      return false;
    }
  }
  sent.append(after_head);
  return true;
}

// One try on `servfd`: the head and the body bytes that came with it go
// out, then both flows run until the answer ends. False when the head could
// not be written.
bool send_and_relay(relay& r, int servfd, const std::string& sent, const request_summary& summary,
                    message_bounds& bounds, pump_end& end) {
  trace_line("send header");
  if (!write_all_to(r, servfd, sent)) return false;
  if (!summary.client_open) shutdown(servfd, SHUT_WR);
  trace_line("send/receive");
  r.editor.fit_to_request({.method = summary.method,
                           .interim_wanted = !summary.old_client,
                           .old_client = summary.old_client,
                           .upgrade_asked = summary.upgrade_asked,
                           .close_wanted = summary.close_wanted,
                           .upload = summary.keeping ? &bounds.upload : nullptr});
  r.editor.add_via(r.setup->config.via_name);
  if (summary.keeping) {
    r.flows.bounds = &bounds;
    r.flows.upload.may_grow = false;
  }
  end = run_pump(r, servfd, summary.client_open, summary.body_expected);
  return true;
}

// The server ended, or broke its answer, before any byte of a final answer
// reached the client: ferry may still answer in its place.
bool answer_missing(const relay& r, pump_end end) {
  return (end == pump_end::server_closed || end == pump_end::server_failed) &&
         r.flows.answer.bytes_written <= r.editor.interim_bytes();
}

// After an answer that ended where its framing says: the client's
// connection goes on when the answer's head said so, the server's only when
// it also took every byte of the body and sent nothing past its answer.
connection_next after_answer(relay& r, client_connection& connection, unique_fd servfd,
                             const std::string& target, message_bounds& bounds, pump_end end,
                             const request_summary& summary) {
  const answer_found& decision = r.editor.found();
  bool answer_ended = summary.keeping && end == pump_end::answer_complete && bounds.upload.done();
  bool client_kept = answer_ended && decision.client_kept;
  bool body_delivered =
      r.flows.upload.pending.empty() && r.flows.upload.in_pipe == 0 && !r.flows.upload_failed;
  if (answer_ended && decision.server_kept && !bounds.server_extra && body_delivered) {
    bool bound = connection.server_bound || decision.connection_bound;
    keep_server(r, connection, std::move(servfd), target, client_kept, bound);
  }
  if (client_kept) {
    connection.carried = std::move(bounds.carried);
    return connection_next::wait_for_request;
  }
  servfd.reset();
  // The client may still be sending: a body the server did not read.
  bool client_may_send = r.flows.upload.source_open || r.flows.upload_failed;
  if (end != pump_end::client_failed && client_may_send &&
      (summary.body_expected || r.flows.upload_failed)) {
    close_gently(r.clifd);
  }
  return connection_next::close;
}

// The head as the next hop, the server or the parent, is to read it.
std::string head_to_send(const relay& r, const http_request& request, std::string_view head,
                         const route& way) {
  const settings& config = r.setup->config;
  next_hop hop{config.via_name, way.through_parent,
               way.through_parent ? config.parent.authorization_line : std::string_view()};
  std::string sent = forward_head(head, request, fields_to_server(r, request), hop);
  print_head(sent);
  // Built only for the trace: with LOG=access or off nothing reads it.
  if (tracing()) trace("hostname: [", escape_for_trace(host_field_value(request)), "]", 256, "\n");
  return sent;
}

// Forgets what a try on a kept connection that failed left behind.
void start_over(relay& r, message_bounds& bounds) {
  r.flows = pump{};
  r.editor = answer_editor{};
  bounds.answer_framed = bounds.answer_done = bounds.server_extra = false;
  r.record->ending = request_ending::done;
}

// Connects to the server the request names (or takes up the connection kept
// for it) and relays through `r`. The head and the body bytes that came with
// it may lie in r's answer buffer: they are sent before the first answer
// byte is read. Says whether the client connection may carry another
// request, or waits as the tunnel an Upgrade made of it.
connection_next serve(relay& r, const read_request& asked, client_connection& connection) {
  const http_request& request = asked.request;
  const request_summary summary = summarize(r, asked);
  route way;
  if (!plan_or_refuse(r, request, connection.peer, way)) return connection_next::close;
  std::string sent = head_to_send(r, request, asked.head, way);
  message_bounds bounds;
  if (!take_early_body(r, asked, summary.keeping, bounds, sent)) return connection_next::close;
  bool reused = false;
  unique_fd servfd = server_for(r, request, connection, way, summary.retry_allowed, reused);
  if (servfd.get() < 0) return connection_next::close;
  pump_end end = pump_end::server_failed;
  bool head_sent = false;
  for (;;) {
    server_watch watch(r.cut, servfd.get());
    head_sent = send_and_relay(r, servfd.get(), sent, summary, bounds, end);
    // Nothing reached the client from a connection the server may have
    // closed, or spoilt, while it was kept.
    bool unanswered = !head_sent || (answer_missing(r, end) && r.flows.answer.bytes_written == 0);
    if (!reused || !unanswered) break;
    watch.clear();
    servfd.reset();
    reused = false;
    if (!summary.retry_allowed) {
      refuse(r, 502, "connection to host failed");
      return connection_next::close;
    }
    start_over(r, bounds);
    servfd = connect_upstream(r, request, connection.peer, way);
    if (servfd.get() < 0) return connection_next::close;
  }
  if (!head_sent) {
    report_server_write_failure(*r.record);
    refuse(r, 502, "connection to host failed");
    return connection_next::close;
  }
  r.record->status = r.editor.status();
  if (end == pump_end::parked) return after_tunnel_pump(r, connection, std::move(servfd), end);
  if (answer_missing(r, end)) {
    servfd.reset();
    refuse(r, 502, "no valid answer from host");
    return connection_next::close;
  }
  return after_answer(r, connection, std::move(servfd), way.key, bounds, end, summary);
}

// A whole head: read, judged, then served as a tunnel or a request.
connection_next serve_head(relay& r, read_request& asked, client_connection& connection) {
  if (int status = parse_request(asked.head, &asked.request); status != 0) {
    refuse(r, status, asked.request.problem);
    return connection_next::close;
  }
  note_request(*r.record, asked.request);
  // A loop is answered before anything else, credentials included: the
  // request came back without the client's.
  verdict loop = judge_via(asked.request.via_values, r.setup->config.via_name);
  if (!loop.allowed()) {
    refuse(r, loop);
    return connection_next::close;
  }
  if (verdict admitted = admit_request(r, asked.request); !admitted.allowed()) {
    refuse(r, admitted);
    return connection_next::close;
  }
  if (asked.request.tunnel) return open_tunnel(r, asked, connection);
  return serve(r, asked, connection);
}

}  // namespace

std::unique_ptr<relay_setup> set_up_relay(const settings& config, std::uint16_t own_port,
                                          std::shared_ptr<policy_files> files) {
  auto setup = std::make_unique<relay_setup>(config);
  setup->listening_port = own_port;
  if (config.server_pool > 0 && config.keepalive_timeout_seconds > 0) {
    setup->pool = std::make_unique<server_pool>(static_cast<std::size_t>(config.server_pool));
  }
  if (!config.via_name.empty()) setup->via_line = "Via: 1.1 " + config.via_name + "\r\n";
  setup->files = files != nullptr ? std::move(files) : std::make_shared<policy_files>(config);
  if (config.name_cache_seconds != 0) {
    setup->recent_names =
        std::make_unique<name_cache>(names_kept, std::chrono::seconds(config.name_cache_seconds));
  }
  servent entry;
  servent* found = nullptr;
  char scratch[1024];
  if (getservbyname_r("http", "tcp", &entry, scratch, sizeof scratch, &found) == 0 &&
      found != nullptr) {
    setup->http_port = ntohs(static_cast<std::uint16_t>(found->s_port));
    snprintf(setup->http_service, sizeof setup->http_service, "%u",
             static_cast<unsigned>(setup->http_port));
  }
  return setup;
}

void give_back_server(client_connection& connection, const relay_setup& setup) {
  server_pool* pool = setup.pool.get();
  if (pool == nullptr || connection.server_bound || connection.server.get() < 0) return;
  if (connection.pool_user == 0) {
    // Only uniqueness matters: no other memory hangs on the number.
    connection.pool_user = setup.next_pool_user.fetch_add(1, std::memory_order_relaxed);
  }
  pool->give_back(connection.server_target, std::move(connection.server), connection.pool_user);
  connection.server_target.clear();
}

connection_next relay_request(client_connection& connection, access_record& record, cut_point* cut,
                              const relay_setup& setup, relay_scratch& scratch) {
  relay r;
  r.setup = &setup;
  r.scratch = &scratch;
  r.first_read = kept_buffer(scratch.head, head_buffer_size());
  r.record = &record;
  r.cut = cut;
  r.clifd = connection.client.get();
  if (connection.tunnel) {
    if (cut != nullptr) cut->note_head_complete();
    return resume_tunnel(r, connection);
  }
  trace_line("getting header");
  client_peer& peer = connection.peer;
  const bool first = connection.requests++ == 0;
  std::size_t already = 0;
  // The head must be complete HEAD_TIMEOUT after its turn began.
  deadline until = deadline::after(peer.turn_began, setup.config.head_timeout_seconds);
  if (first && peer.proxied && !take_balancers_client(r, peer, until, already)) return connection_next::close;
  std::string carried = std::move(connection.carried);
  connection.carried.clear();
  std::span<char> start = head_start(r, carried, already);
  std::string longer;
  head_read state;
  state.first_on_connection = first;
  read_request asked;
  asked.state = &state;
  asked.head_size = read_head(r.clifd, start.data(), start.size(), already, longer, state, until);
  record.from_client += state.received.size();
  // A kept connection that ends, or stays silent, between requests.
  if (!first && state.received.empty()) {
    record.written = false;
    return connection_next::close;
  }
  if (!head_to_serve(r, peer, first, state, asked.head_size)) return connection_next::close;
  if (cut != nullptr) cut->note_head_complete();
  asked.head = state.received.substr(0, asked.head_size);
  return serve_head(r, asked, connection);
}

}  // namespace ferry
