#include "relay_parts.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "answers.h"
#include "net.h"
#include "pump.h"
#include "transfer.h"

namespace ferry {
namespace {

// The attempts of a connect, as the trace tells of them.
void trace_connect(const connect_report& report) {
  if (!tracing()) return;
  for (int error : report.failures) {
    if (error == 0) {
      trace_line("ignore this one");
      continue;
    }
    errno = error;
    trace_errno("connection faild... try another host");
  }
  if (report.connected) {
    trace("Connected to ", format_ip_address(report.connected_to), "\n ");
  } else if (report.tried) {
    errno = report.last_error;
    trace_errno("received host is not good!");
  }
}

}  // namespace

// A write may wait as long as a relay may pass no byte: a client that pauses
// is not dead. Negative: no limit.
std::chrono::milliseconds write_limit(const relay& r) {
  std::uint16_t seconds = r.setup->config.idle_timeout_seconds;
  return std::chrono::milliseconds(seconds == 0 ? -1 : seconds * 1000L);
}

bool write_all_to(const relay& r, int fd, std::string_view bytes) {
  return write_all(fd, bytes.data(), bytes.size(), write_limit(r)).result == io_result::done;
}

// Answers the request itself with `status` and a one-line plain-text body,
// then closes gently, as the client may still be sending.
void refuse(relay& r, int status, std::string_view body_line, std::string_view fields) {
  std::string answer = error_answer(status, body_line, std::string(fields) + r.setup->via_line);
  if (write_all_to(r, r.clifd, answer)) r.record->to_client += answer.size();
  r.record->status = status;
  r.record->ending = ending_of(status);
  close_gently(r.clifd);
}

void refuse(relay& r, const verdict& refusal) {
  std::string fields;
  if (refusal.status == 407) {
    fields = "Proxy-Authenticate: Basic realm=\"" + r.setup->config.auth_realm + "\"\r\n";
  }
  refuse(r, refusal.status, refusal.reason, fields);
  if (refusal.ending) r.record->ending = *refusal.ending;
}

// Connects along `way`, or answers the client itself and returns an empty
// owner. A tunnel through the parent leaves what the parent sent after its
// answer in `early`.
unique_fd connect_upstream(relay& r, const http_request& request, const client_peer& peer,
                           route& way, std::string* early) {
  upstream made = open_upstream(*r.setup, request, peer, way, write_limit(r).count());
  trace_connect(made.connecting);
  if (made.server.get() < 0) refuse(r, made.refusal);
  if (early != nullptr) *early = std::move(made.early);
  return std::move(made.server);
}

// Picks the request's way, or answers the refusal itself and returns false.
bool plan_or_refuse(relay& r, const http_request& request, const client_peer& peer, route& way) {
  verdict refusal;
  if (plan_route(*r.setup, request, peer, way, refusal)) return true;
  refuse(r, refusal);
  return false;
}

void print_head(std::string_view head) {
  if (!tracing()) return;
  std::string shown = trace_head(head);
  shown += '\n';
  trace_block(shown);
}

// Sets up both flows between the client and `servfd` and pumps until the
// relay ends; says so when the client went away.
pump_end run_pump(relay& r, int servfd, bool client_open, bool upload_ready) {
  pump& flows = r.flows;
  flows.answer.from = flows.upload.to = servfd;
  // The head has gone out, so its buffer is free for the answer.
  flows.answer.buffer = r.first_read;
  flows.answer.capacity = head_buffer_size();
  flows.answer.large = &r.scratch->large_answer;
  flows.upload.small = &r.scratch->upload;
  flows.upload.large = &r.scratch->large_upload;
  // The trace tells of every read and write, so it keeps them.
  if (!tracing()) flows.pipe = &r.scratch->pipe;
  flows.answer.to = flows.upload.from = r.clifd;
  flows.upload.source_open = client_open;
  flows.upload.readable = client_open && upload_ready;
  flows.idle_limit_ms = write_limit(r).count();
  // Only where the connection can wait in the waiting room afterwards.
  if (r.setup->config.keepalive_timeout_seconds > 0) flows.park_after_ms = tunnel_park_after_ms;
  if (!flows.tunnel) flows.editor = &r.editor;
  pump_end end = pump_both_ways(flows);
  // A client reset shows first on either side; both mean it went away.
  if (end == pump_end::client_write_failed || end == pump_end::client_failed ||
      end == pump_end::client_timed_out) {
    trace_line("connection to clinet closed");
  }
  r.record->to_client += flows.answer.bytes_written;
  r.record->from_client += flows.upload.bytes_read;
  r.record->ending = ending_of(end);
  return end;
}

void report_server_write_failure(access_record& record) {
  record.ending = request_ending::server_failed;
  if (tracing()) {
    constexpr char failed[] = "error in data passing to server";
    write_raw(failed, sizeof failed - 1);
  }
}

}  // namespace ferry
