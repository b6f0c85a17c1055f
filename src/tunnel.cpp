#include "tunnel.h"

#include <sys/socket.h>

#include <memory>
#include <string>

#include "head.h"

namespace ferry {
namespace {

// TUNNEL_CHECK=sni: reads the client's first bytes after `first_bytes` until
// they make a whole ClientHello or cannot, within HEAD_TIMEOUT (IDLE_TIMEOUT
// when that is 0), and judges them. False, with the ending noted, when the
// tunnel may not go on; nothing has reached the server then.
bool check_tunnel_start(relay& r, const http_request& request, std::string& first_bytes,
                        bool& client_open) {
  const settings& config = r.setup->config;
  std::uint16_t seconds =
      config.head_timeout_seconds != 0 ? config.head_timeout_seconds : config.idle_timeout_seconds;
  std::string server_name;
  hello_result hello =
      read_tunnel_hello(r.clifd, first_bytes, client_open, server_name, r.record->from_client,
                        deadline::after(deadline::clock::now(), seconds));
  verdict tunnel = judge_tunnel_hello(*r.setup->files->hosts(), request.host, hello, server_name);
  if (tunnel.allowed()) return true;
  trace("tunnel refused: ", tunnel.reason, "\n");
  r.record->ending = tunnel.ending.value_or(request_ending::tunnel_refused);
  return false;
}

}  // namespace

// Where a tunnel stands after its pump: parked with its state kept in the
// connection, or over.
connection_next after_tunnel_pump(relay& r, client_connection& connection, unique_fd servfd,
                                  pump_end end) {
  if (end != pump_end::parked) {
    trace_line("tunnel closed");
    connection.tunnel.reset();
    return connection_next::close;
  }
  if (!connection.tunnel) connection.tunnel = std::make_unique<tunnel_state>();
  tunnel_state& state = *connection.tunnel;
  state.client_open = r.flows.upload.source_open;
  state.server_open = r.flows.answer.source_open;
  state.client_shut = r.flows.client_shut;
  state.last_move = r.flows.last_move;
  connection.server = std::move(servfd);
  trace_line("tunnel parked");
  return connection_next::wait_as_tunnel;
}

// A CONNECT tunnel: after the 200 line, bytes pass both ways untouched until
// both sides have ended. Bytes that came right after the head go first.
connection_next open_tunnel(relay& r, const read_request& asked, client_connection& connection) {
  const http_request& request = asked.request;
  print_head(asked.head);
  if (tracing()) trace("tunnel to: [", escape_for_trace(request.host), ":", request.port, "]\n");
  route way;
  if (!plan_or_refuse(r, request, connection.peer, way)) return connection_next::close;
  std::string from_parent;
  unique_fd servfd = connect_upstream(r, request, connection.peer, way, &from_parent);
  if (servfd.get() < 0) return connection_next::close;
  server_watch watch(r.cut, servfd.get());
  // What a parent sent after its own 200 is the server's and follows ferry's.
  std::string established =
      "HTTP/1.1 200 Connection established\r\n" + r.setup->via_line + "\r\n" + from_parent;
  r.record->status = 200;
  note_tunnel_open(*r.record);
  if (!write_all_to(r, r.clifd, established)) {
    trace_line("connection to clinet closed");
    r.record->ending = request_ending::client_closed;
    return connection_next::close;
  }
  r.record->to_client += established.size();
  std::string early(asked.state->received.substr(asked.head_size));
  bool client_open = asked.state->client_open;
  if (r.setup->config.tunnel_check_sni && !check_tunnel_start(r, request, early, client_open)) {
    return connection_next::close;
  }
  if (!early.empty() && !write_all_to(r, servfd.get(), early)) {
    report_server_write_failure(*r.record);
    return connection_next::close;
  }
  if (!client_open) shutdown(servfd.get(), SHUT_WR);
  trace_line("tunnel established");
  r.flows.tunnel = true;
  pump_end end = run_pump(r, servfd.get(), client_open, true);
  watch.clear();
  return after_tunnel_pump(r, connection, std::move(servfd), end);
}

// A parked tunnel whose side has bytes again: the pump goes on where it stood.
connection_next resume_tunnel(relay& r, client_connection& connection) {
  const tunnel_state& state = *connection.tunnel;
  unique_fd servfd = std::move(connection.server);
  server_watch watch(r.cut, servfd.get());
  trace_line("tunnel taken up again");
  r.flows.tunnel = true;
  r.flows.answer.source_open = state.server_open;
  r.flows.client_shut = state.client_shut;
  pump_end end = run_pump(r, servfd.get(), state.client_open, true);
  watch.clear();
  return after_tunnel_pump(r, connection, std::move(servfd), end);
}

}  // namespace ferry
