// ferry's own answers as a client reads them, and an answer given to a
// client without waiting on it.
#include "answers.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <string>

#include "harness.h"

using namespace ferry;
using namespace std::chrono_literals;

namespace {

TEST(Answers, ErrorAnswersCloseAndNameTheirEnding) {
  const std::tuple<int, const char*, const char*> rows[] = {
      {400, "Bad Request", "bad-request"},
      {403, "Forbidden", "refused"},
      {408, "Request Timeout", "client-timeout"},
      {431, "Request Header Fields Too Large", "bad-request"},
      {502, "Bad Gateway", "server-failed"},
      {504, "Gateway Timeout", "server-timeout"},
      {508, "Loop Detected", "refused"},
      {599, "Error", "refused"}};
  for (const auto& [status, reason, ending] : rows) {
    EXPECT_EQ(error_answer(status, "why"), harness::ferry_answer(status, reason, "why"));
    EXPECT_EQ(ending_word(ending_of(status)), ending) << status;
  }
  EXPECT_EQ(error_answer(407, "", "Proxy-Authenticate: Basic realm=\"x\"\r\n"),
            "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Type: text/plain\r\n"
            "Content-Length: 1\r\nProxy-Authenticate: Basic realm=\"x\"\r\nConnection: close\r\n"
            "\r\n\n");
}

// The client's unread bytes are taken, so a close cannot turn into a reset;
// a client that takes nothing more costs no wait.
TEST(Answers, AnswerWithoutWaitingEndsTheStreamAndNeverBlocks) {
  const std::string answer = error_answer(400, "bad request");
  for (bool full : {false, true}) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    unique_fd ferry_end(ends[0]), client(ends[1]);
    harness::send_all(client.get(), "GET / HTTP/1.1\r\n\r\nand a body");
    while (full && send(ferry_end.get(), "f", 1, MSG_DONTWAIT) == 1) {
    }
    EXPECT_EQ(answer_without_waiting(ferry_end.get(), answer), full ? 0 : answer.size());
    int unread = -1;
    ioctl(ferry_end.get(), FIONREAD, &unread);
    EXPECT_EQ(unread, 0);
    if (full) continue;
    harness::reply got = harness::read_reply(client.get(), 5s);
    EXPECT_EQ(got.data, answer);
    EXPECT_EQ(got.end, harness::ending::closed);
  }
}

}  // namespace
