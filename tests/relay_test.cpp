// The request relay end to end: a real ferry between real client sockets and a
// scripted origin that records every byte it receives.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <semaphore>
#include <sstream>

#include "harness.h"
#include "origin_servers.h"

using namespace harness;

namespace {

const std::string head_to_origin =
    "GET http://origin.test/x HTTP/1.1\r\nHost: origin.test\r\n\r\n";
const std::string short_answer = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";

struct baseline {
  int descriptors;
  int threads;
};

// Starts ferry on 8080 and notes its idle descriptor and thread counts.
baseline start(ferry_process& ferry) {
  EXPECT_TRUE(ferry.wait_listening(8080));
  return {ferry.open_descriptors(), ferry.thread_count()};
}

}  // namespace

TEST(Relay, ForwardsHeadAsReceivedExceptKeepAliveLine) {
  set_hosts("127.0.0.1 origin.test\n");
  const std::string answer = "HTTP/1.1 200 OK\r\nX-Odd:  two  spaces\r\n\r\nbody\r\n\r\nmore";
  scripted_origin origin("127.0.0.1", answer_and_drain(answer));
  ferry_process ferry({"LISTEN_PORT=8080"});
  start(ferry);

  const std::string keep_alive_head =
      "GET http://origin.test/k HTTP/1.1\r\nHost: origin.test\r\n"
      "Proxy-Connection: Keep-Alive\r\nAccept: */*\r\n\r\n";
  const std::string close_head =
      "GET http://origin.test/k HTTP/1.1\r\nHost: origin.test\r\n"
      "Proxy-Connection: Close\r\nAccept: */*\r\n\r\n";
  // Only the exact line is rewritten; other spellings travel as they are.
  const std::string other_spelling =
      "GET http://origin.test/k HTTP/1.1\r\nhost: origin.test\r\n"
      "proxy-connection: keep-alive\r\nProxy-Connection:  Keep-Alive\r\n\r\n";
  const std::pair<std::string, std::string> cases[] = {
      {head_to_origin, head_to_origin},
      {keep_alive_head, close_head},
      {other_spelling, other_spelling},
  };
  std::size_t done = 0;
  for (const auto& [sent, expected] : cases) {
    reply got = exchange(sent);
    EXPECT_EQ(got.data, answer);
    EXPECT_TRUE(got.ended());
    ASSERT_TRUE(origin.wait_done(++done));
    EXPECT_EQ(origin.received().back(), expected);
  }
  EXPECT_EQ(keep_alive_head.size() - 5, close_head.size());
  // The client sees the close before the slot is released, so a request that
  // follows at once may be served in slot 3.
  EXPECT_TRUE(ferry.wait_output(" freed\n", 3));
}

TEST(Relay, UnreachableServerGetsErrorText) {
  set_hosts("127.0.0.1 origin.test\n127.0.0.3 refused.test\n");
  scripted_origin origin("127.0.0.1", answer_and_drain(short_answer));
  ferry_process ferry({"LISTEN_PORT=8080"});
  baseline idle = start(ferry);

  const std::string heads[] = {
      "GET http://origin.test/ HTTP/1.1\r\nAccept: */*\r\n\r\n",
      // The port stays part of the name, so this cannot resolve.
      "CONNECT origin.test:443 HTTP/1.1\r\nHost: origin.test:443\r\n\r\n",
      "GET http://nothere.test/ HTTP/1.1\r\nHost: nothere.test\r\n\r\n",
      "GET http://refused.test/ HTTP/1.1\r\nHost: refused.test\r\n\r\n",
  };
  for (const auto& head : heads) {
    reply got = exchange(head);
    EXPECT_EQ(got.data, host_failed) << head;
    EXPECT_TRUE(got.ended()) << head;
  }
  // A client that sends nothing and only half-closes still gets the text.
  int fd = connect_to("127.0.0.1", 8080);
  ASSERT_GE(fd, 0);
  shutdown(fd, SHUT_WR);
  reply half_closed = read_reply(fd);
  EXPECT_EQ(half_closed.data, host_failed);
  EXPECT_TRUE(half_closed.ended());
  close(fd);

  EXPECT_TRUE(ferry.wait_output(" freed\n", 5));
  std::string trace = ferry.output();
  EXPECT_EQ(count_of(trace, "hostname: []256\n"), 2);
  EXPECT_EQ(count_of(trace, "getaddrinfo problem for host: `'\n"), 2);
  EXPECT_NE(trace.find("getaddrinfo problem for host: `origin.test:443'\n"), std::string::npos);
  EXPECT_NE(trace.find("getaddrinfo problem for host: `nothere.test'\n"), std::string::npos);
  EXPECT_EQ(trace.find("send header"), std::string::npos);
  EXPECT_TRUE(ferry.wait_errors("received host is not good!: "));
  EXPECT_EQ(origin.accepted(), 0);
  EXPECT_TRUE(ferry.wait_counts(idle.descriptors, idle.threads));
}

TEST(Relay, TriesNextAddressWhenFirstRefuses) {
  // Both addresses share the same source and prefix, so the resolver keeps
  // the file's order: 127.0.0.3 (nobody listens) first.
  set_hosts("127.0.0.3 origin.test\n127.0.0.2 origin.test\n");
  scripted_origin origin("127.0.0.2", answer_and_drain(short_answer));
  ferry_process ferry({"LISTEN_PORT=8080"});
  start(ferry);

  reply got = exchange(head_to_origin);
  EXPECT_EQ(got.data, short_answer);
  EXPECT_TRUE(got.ended());
  ASSERT_TRUE(origin.wait_done(1));
  EXPECT_EQ(origin.received()[0], head_to_origin);
  EXPECT_TRUE(ferry.wait_output("thread 2 freed\n"));
  EXPECT_TRUE(ferry.wait_errors("connection faild... try another host: "));
  EXPECT_EQ(ferry.error_count("connection faild... try another host: "), 1);
  EXPECT_NE(ferry.output().find("Connected to 127.0.0.2\n "), std::string::npos);
}

TEST(Relay, ForwardsBinaryFirstChunkWhole) {
  set_hosts("127.0.0.1 origin.test\n");
  scripted_origin origin("127.0.0.1", answer_and_drain(short_answer));
  ferry_process ferry({"LISTEN_PORT=8080"});
  start(ferry);

  // After the first zero byte nothing is rewritten, not even a Keep-Alive line.
  const char raw[] = "ab\0\x01\xff\r\n\r\n\0Proxy-Connection: Keep-Alive\r\n\x7f";
  std::string body(raw, sizeof raw - 1);
  for (int byte = 0; byte < 256; ++byte) body.push_back(static_cast<char>(byte));
  const std::string start_line = "POST http://origin.test/up HTTP/1.1\r\nHost: origin.test\r\n";
  const std::string length_line = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  const std::string plain = start_line + length_line + body;
  const std::string keep_alive = start_line + "Proxy-Connection: Keep-Alive\r\n" + length_line + body;
  const std::string rewritten = start_line + "Proxy-Connection: Close\r\n" + length_line + body;

  std::size_t done = 0;
  for (const auto& [sent, expected] : {std::pair{plain, plain}, std::pair{keep_alive, rewritten}}) {
    reply got = exchange(sent);  // one send: the whole chunk is there for ferry's one read
    EXPECT_EQ(got.data, short_answer);
    ASSERT_TRUE(origin.wait_done(++done));
    EXPECT_EQ(origin.received().back(), expected);
  }
  EXPECT_EQ(rewritten.size(), keep_alive.size() - 5);
}

TEST(Relay, ForwardsOnlyTheFirstRead) {
  set_hosts("127.0.0.1 origin.test\n");
  std::counting_semaphore<8> head_arrived{0}, go_on{0};
  scripted_origin origin("127.0.0.1", [&](int fd) {
    std::string got = read_head(fd);
    head_arrived.release();
    go_on.try_acquire_for(10s);
    send_within(fd, short_answer);
    shutdown(fd, SHUT_WR);
    return got + read_reply(fd).data;
  });
  ferry_process ferry({"LISTEN_PORT=8080"});
  start(ferry);

  std::string long_head = "GET http://origin.test/long HTTP/1.1\r\nHost: origin.test\r\nX-Fill: ";
  long_head += std::string(6000, 'f') + "\r\n\r\n";
  const std::pair<std::string, std::string> cases[] = {
      {head_to_origin, head_to_origin},
      {long_head, long_head.substr(0, head_read_size)},
  };
  std::size_t done = 0;
  for (const auto& [sent, expected] : cases) {
    int fd = connect_to("127.0.0.1", 8080);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, sent));
    ASSERT_TRUE(head_arrived.try_acquire_for(10s));
    // Later bytes stay unread: a body and a second request.
    ASSERT_TRUE(send_all(fd, "late body\r\nGET http://origin.test/2 HTTP/1.1\r\n\r\n"));
    std::this_thread::sleep_for(200ms);  // room for a wrong forward to show
    go_on.release();
    EXPECT_EQ(read_reply(fd).data, short_answer);
    close(fd);
    ASSERT_TRUE(origin.wait_done(++done));
    EXPECT_EQ(origin.received().back(), expected);
  }
  EXPECT_TRUE(ferry.wait_output(" freed\n", 2));
}

TEST(Relay, OriginKeepingConnectionOpenHoldsSlot) {
  set_hosts("127.0.0.1 origin.test\n");
  std::binary_semaphore answered{0}, may_close{0};
  scripted_origin origin("127.0.0.1", [&](int fd) {
    std::string got = read_head(fd);
    send_within(fd, short_answer);
    answered.release();
    may_close.try_acquire_for(10s);
    return got;
  });
  ferry_process ferry({"LISTEN_PORT=8080"});
  baseline idle = start(ferry);

  int fd = connect_to("127.0.0.1", 8080);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_all(fd, head_to_origin));
  ASSERT_TRUE(answered.try_acquire_for(10s));
  // The answer arrives, but the connection stays open with the origin's.
  EXPECT_EQ(read_up_to(fd, short_answer.size()), short_answer);
  reply rest = read_reply(fd, 300ms);
  EXPECT_EQ(rest.data, "");
  EXPECT_FALSE(rest.ended());
  EXPECT_EQ(ferry.output().find("freed"), std::string::npos);

  may_close.release();
  rest = read_reply(fd);
  EXPECT_EQ(rest.data, "");
  EXPECT_TRUE(rest.ended());
  close(fd);
  EXPECT_TRUE(ferry.wait_output("thread 2 freed\n"));
  EXPECT_TRUE(ferry.wait_counts(idle.descriptors, idle.threads));
}

TEST(Relay, ClientThatLeavesOrStallsFreesSlot) {
  set_hosts("127.0.0.1 origin.test\n");
  // Streams until ferry gives up on the connection (or 256 MiB, or 30 s).
  scripted_origin origin("127.0.0.1", [](int fd) {
    std::string got = read_head(fd);
    std::string chunk = "HTTP/1.0 200 OK\r\n\r\n" + random_bytes(1 << 16, 7);
    auto deadline = std::chrono::steady_clock::now() + 30s;
    for (int i = 0; i < 4096 && std::chrono::steady_clock::now() < deadline; ++i) {
      if (!send_within(fd, chunk, 30s)) break;
    }
    return got;
  });
  ferry_process ferry({"LISTEN_PORT=8080", "CON_TIMEOUT=1"});
  baseline idle = start(ferry);

  // Leaves: reads a little of the answer, then closes with more unread.
  int fd = connect_to("127.0.0.1", 8080);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_all(fd, head_to_origin));
  std::string some = read_up_to(fd, 65536);
  ASSERT_GE(some.size(), 65536u);
  EXPECT_EQ(some.rfind("HTTP/1.0 200 OK\r\n\r\n", 0), 0u);
  close(fd);
  EXPECT_TRUE(ferry.wait_output("connection to clinet closed\n", 1, 15s));
  EXPECT_TRUE(ferry.wait_output("thread 2 freed\n", 1, 15s));
  ASSERT_TRUE(origin.wait_done(1, 15s));

  // Stalls: stays connected but reads nothing; the write wait runs out.
  fd = connect_to("127.0.0.1", 8080);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_all(fd, head_to_origin));
  EXPECT_TRUE(ferry.wait_output("connection to clinet closed\n", 2, 15s));
  // The line comes before the slot is cleared, so this one may use slot 3.
  EXPECT_TRUE(ferry.wait_output(" freed\n", 2, 15s));
  EXPECT_TRUE(origin.wait_done(2, 15s));
  close(fd);
  EXPECT_EQ(ferry.errors().find("error in data passing to server"), std::string::npos);
  EXPECT_TRUE(ferry.wait_counts(idle.descriptors, idle.threads));
}

TEST(Relay, LargeAnswerArrivesByteExact) {
  set_hosts("127.0.0.1 origin.test\n");
  const std::string answer = "HTTP/1.0 200 OK\r\n\r\n" + random_bytes(8 << 20, 11);
  scripted_origin origin("127.0.0.1", answer_and_drain(answer));
  ferry_process ferry({"LISTEN_PORT=8080"});
  start(ferry);

  reply got = exchange(head_to_origin);
  EXPECT_TRUE(got.ended());
  ASSERT_EQ(got.data.size(), answer.size());
  EXPECT_TRUE(got.data == answer) << "8 MiB answer differs";
  EXPECT_TRUE(ferry.wait_output("thread 2 freed\n"));
}

TEST(Relay, ServesTwoHundredConcurrentRequests) {
  set_hosts("127.0.0.1 origin.test\n");
  constexpr int count = 200;
  // Each answer spans two chunks and names its own path.
  auto answer_for = [](const std::string& path) {
    std::string answer = "HTTP/1.0 200 OK\r\n\r\n";
    while (answer.size() < 6000) answer += path + ";";
    return answer;
  };
  scripted_origin origin("127.0.0.1", [&](int fd) {
    std::string got = read_head(fd);
    auto start_at = got.find("origin.test/") + 11;
    send_within(fd, answer_for(got.substr(start_at, got.find(' ', start_at) - start_at)));
    shutdown(fd, SHUT_WR);
    return got + read_reply(fd).data;
  }, count);
  ferry_process ferry({"LISTEN_PORT=8080", "BACKLOG=300"});
  baseline idle = start(ferry);

  std::vector<int> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(connect_to("127.0.0.1", 8080));
    ASSERT_GE(clients.back(), 0);
  }
  for (int i = 0; i < count; ++i) {
    std::string path = "/r" + std::to_string(i);
    ASSERT_TRUE(send_all(clients[i], "GET http://origin.test" + path +
                                         " HTTP/1.1\r\nHost: origin.test\r\n\r\n"));
  }
  int exact = 0;
  for (int i = 0; i < count; ++i) {
    reply got = read_reply(clients[i], 30s);
    close(clients[i]);
    if (got.ended() && got.data == answer_for("/r" + std::to_string(i))) ++exact;
  }
  EXPECT_EQ(exact, count);
  EXPECT_TRUE(origin.wait_done(count, 30s));
  EXPECT_TRUE(ferry.wait_output(" freed\n", count, 30s));
  EXPECT_EQ(ferry.errors().find(queue_full), std::string::npos);
  EXPECT_TRUE(ferry.wait_counts(idle.descriptors, idle.threads, 30s));
}

TEST(Relay, TraceOfOneRequest) {
  set_hosts("127.0.0.1 origin.test\n");
  const std::string answer = "HTTP/1.0 200 OK\r\n\r\nhi";
  scripted_origin origin("127.0.0.1", answer_and_drain(answer));
  ferry_process ferry({"LISTEN_PORT=8080"});
  start(ferry);

  const std::string head =
      "GET http://origin.test/t HTTP/1.1\r\nHost: origin.test\r\n"
      "Proxy-Connection: Keep-Alive\r\n\r\n";
  const std::string rewritten =
      "GET http://origin.test/t HTTP/1.1\r\nHost: origin.test\r\n"
      "Proxy-Connection: Close\r\n\r\n";
  EXPECT_EQ(exchange(head).data, answer);
  ASSERT_TRUE(ferry.wait_output("thread 2 freed\n"));
  std::string trace = ferry.output();

  auto number_after = [&](const std::string& text) {
    auto at = trace.find(text);
    if (at == std::string::npos) return std::string("?");
    at += text.size();
    return trace.substr(at, trace.find('\n', at) - at);
  };
  const std::string client = number_after("descriptor number is ");
  const std::string server = number_after("send header\ndescriptor number is ");
  EXPECT_NE(client, server);
  auto read_lines = [](const std::string& fd, std::size_t got, const char* last) {
    return "descriptor number is " + fd + "\nbusy\nselstat: 1\n"
           "read blocked with count = 4096 and left = 4096\nafter read c = " +
           std::to_string(got) + "\n" + last + "\n";
  };
  auto write_lines = [](const std::string& fd) {
    return "descriptor number is " + fd + "\nwrite blocked\nwrite unblocked\n";
  };
  const std::string expected =
      "thread reserved at 2\n\nhere\ngetting header\n" +
      read_lines(client, head.size(), "read unblocked") + rewritten + "\n" +
      "hostname: [origin.test]256\nConnected to 127.0.0.1\n send header\n" +
      write_lines(server) + "send/receive\n" +
      read_lines(server, answer.size(), "read unblocked") + write_lines(client) +
      read_lines(server, 0, "connection closed") + "thread 2 freed\n";
  EXPECT_EQ(trace, expected);

  // perror lines, one per wait: read head, write head, read, write, read end.
  // Standard error is a stream of its own, so wait for it too.
  EXPECT_TRUE(ferry.wait_errors("select for read: ", 3));
  EXPECT_TRUE(ferry.wait_errors("select for write: ", 2));
  std::string reports;
  std::istringstream lines(ferry.errors());
  for (std::string line; std::getline(lines, line);) reports += line.substr(0, line.find(':')) + ";";
  EXPECT_EQ(reports,
            "select for read;select for write;select for read;select for write;select for read;")
      << ferry.errors();
  EXPECT_EQ(ferry.errors().back(), '\n');
  ASSERT_TRUE(origin.wait_done(1));
  EXPECT_EQ(origin.received()[0], rewritten);
}
