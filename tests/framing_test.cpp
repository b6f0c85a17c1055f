// Where a body ends: the answer's framing from its head, and the end of a
// body found in the bytes however they are split.
#include "framing.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

using namespace ferry;
using namespace std::string_literals;
using enum body_kind;

TEST(FramingAnswer, FramesByCodingThenLengthThenClose) {
  struct row {
    std::string method;
    int status;
    std::string head;
    body_kind kind;
    std::uint64_t body_length;
    bool broken, close_after;
  };
  const std::string ok = "HTTP/1.1 200 OK\r\n", cl5 = ok + "Content-Length: 5\r\n";
  const std::string old = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n";
  const row rows[] = {
      {"GET", 200, cl5 + "\r\nTransfer-Encoding: chunked\r\n", length, 5, false, false},
      {"HEAD", 200, cl5 + "Transfer-Encoding: gzip\r\n\r\n", none, 0, false, false},
      {"GET", 100, "HTTP/1.1 100 Continue\r\n\r\n", none, 0, false, false},
      {"GET", 204, "HTTP/1.1 204 No Content\r\nContent-Length: x\r\n\r\n", none, 0, false, false},
      {"GET", 304, "HTTP/1.1 304 Not Modified\r\nConnection: close\r\n\r\n", none, 0, false, true},
      {"GET", 200, "HTTP/1.1 200 OK\nTransfer-Encoding: gzip,\ntransfer-encoding: CHUNKED\n\n",
       chunked, 0, false, false},
      {"GET", 200, ok + "Transfer-Encoding: chunked, gzip\r\n\r\n", until_close, 0, false, true},
      {"GET", 200, cl5 + "Transfer-Encoding: chunked\r\n\r\n", chunked, 0, false, true},
      {"GET", 200, cl5 + "Content-Length: 6\r\n\r\n", none, 0, true, true},
      {"GET", 200, cl5 + "content-length: 005 , 5\r\n\r\n", length, 5, false, false},
      {"GET", 200, ok + "Content-Length: +5\r\n\r\n", none, 0, true, true},
      {"GET", 200, ok + "Transfer-Encoding : chunked\r\n\r\n", none, 0, true, true},
      {"GET", 200, ok + "Transfer-Encoding: gzip,\r\n chunked\r\n\r\n", none, 0, true, true},
      {"GET", 200, ok + "\r\n", until_close, 0, false, true},
      {"GET", 200, old + "\r\n", length, 5, false, true},
      {"GET", 200, old + "Connection: Keep-Alive\r\n\r\n", length, 5, false, false},
      {"GET", 200, old + "Connection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n",
       until_close, 0, false, true},
      {"GET", 200, cl5 + "Connection: x,\r\n Close\r\n\r\n", length, 5, false, true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.method + " " + r.head);
    answer_framing answer = answer_body(r.method, r.status, read_answer_head(r.head));
    EXPECT_EQ(std::tie(answer.body.kind, answer.body.length, answer.broken, answer.close_after),
              std::tie(r.kind, r.body_length, r.broken, r.close_after));
  }
}

// Bytes taken, done, failed.
using tracked = std::tuple<std::size_t, bool, bool>;

// Feeds the first `at` bytes, then the rest in pieces of `piece` bytes.
tracked track(body_framing framing, std::string_view bytes, std::size_t at, std::size_t piece) {
  body_tracker tracker(framing);
  std::size_t taken = tracker.feed(bytes.substr(0, at));
  for (; at < bytes.size(); at += piece) taken += tracker.feed(bytes.substr(at, piece));
  return {taken, tracker.done(), tracker.failed()};
}

TEST(FramingTracker, FindsTheSameEndWhateverTheSplit) {
  const body_framing chunks{chunked};
  const std::string long_line = "1;" + std::string(max_chunk_line - 4, 'e') + "\r\n";
  const std::string long_trailer = "X: " + std::string(max_trailer_section - 7, 't') + "\r\n";
  const std::tuple<body_framing, std::string, tracked> rows[] = {
      {{length, 5}, "helloGET /", {5, true, false}},
      {{length, 5}, "hel", {3, false, false}},
      {{length, 0}, "GET", {0, true, false}},
      {{none}, "GET", {0, true, false}},
      {{until_close}, "abc", {3, false, false}},
      {chunks, "5\r\nhello\r\n0\r\n\r\nGET /", {15, true, false}},
      {chunks,
       "4;a=1 ; b=\"x y\"\r\nwiki\r\nA \t;z\r\n0123456789\r\n000\r\nX: 1\r\nY:\t2\r\n\r\nN",
       {61, true, false}},
      {chunks, "5\r\nhel", {6, false, false}},
      {chunks, "4000000000000000\r\n", {18, false, false}},
      {chunks, long_line + "x\r\n0\r\n\r\n", {long_line.size() + 8, true, false}},
      {chunks, "0\r\n" + long_trailer + "\r\n", {3 + max_trailer_section, true, false}},
      // Failures stop before the byte that failed.
      {chunks, "5\nhello\r\n0\r\n\r\n", {1, false, true}},
      {chunks, "5\r\nhelloX\r\n", {8, false, true}},
      {chunks, "5\r\nhello\n0\r\n\r\n", {8, false, true}},
      {chunks, "5\r\nhello\r0\r\n\r\n", {9, false, true}},
      {chunks, "\r\n0\r\n\r\n", {0, false, true}},
      {chunks, "5 x\r\n", {2, false, true}},
      {chunks, "0x5\r\n", {1, false, true}},
      {chunks, "4000000000000001\r\n", {15, false, true}},
      {chunks, "5;a\0\r\n"s, {3, false, true}},
      {chunks, "5;a\nhello\r\n", {3, false, true}},
      {chunks, "0\r\nX: 1\n\r\n", {7, false, true}},
      {chunks, "0\r\n\r\r\n", {4, false, true}},
      {chunks, "e" + long_line, {max_chunk_line, false, true}},
      {chunks, "0\r\nY" + long_trailer + "\r\n", {3 + max_trailer_section, false, true}},
  };
  for (const auto& [framing, bytes, expected] : rows) {
    SCOPED_TRACE(bytes.substr(0, 60));
    // Split in two at every point (a stride through long rows), and byte by byte.
    for (std::size_t at = 0; at <= bytes.size(); at += bytes.size() < 300 ? 1 : 389) {
      ASSERT_EQ(track(framing, bytes, at, bytes.size()), expected) << "split at " << at;
    }
    EXPECT_EQ(track(framing, bytes, 0, 1), expected) << "byte by byte";
  }
}

}  // namespace
