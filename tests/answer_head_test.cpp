// Answer heads: a server's bytes in, in any split, the edited answer out.
#include "answer_head.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <tuple>
#include <utility>

namespace {

using namespace ferry;
using namespace std::string_literals;

// Feeds `answer` in pieces of `piece` bytes (at once when 0), then finishes;
// returns the text sent on and the status.
std::pair<std::string, int> edit(std::string_view answer, std::size_t piece) {
  answer_editor editor;
  std::string text;
  for (std::size_t at = 0; at < answer.size(); at += piece == 0 ? answer.size() : piece) {
    std::string_view bytes = answer.substr(at, piece == 0 ? answer.size() : piece);
    bool was_passing = editor.passing();
    std::string_view out = editor.feed(bytes);
    if (was_passing) {
      EXPECT_EQ(out.data(), bytes.data()) << "copied while passing";
    }
    text += out;
  }
  text += editor.finish();
  return {text, editor.status()};
}

TEST(AnswerEditor, EditsTheFinalHeadWhateverTheSplit) {
  const std::string big_body(100000, 'b');
  const std::tuple<std::string, std::string, int> rows[] = {
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive, X-Trace\r\nKeep-Alive: 5\r\nX-Trace: 1\r\n"
       "Content-Length: 4\r\n\r\nbody",
       "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\nbody", 200},
      {"HTTP/1.1 100 Continue\r\nConnection: keep-alive\r\n\r\nHTTP/1.1 103 Early\r\n\r\n"
       "HTTP/1.0 404 Not Found\nConnection:  close\n\nConnection: keep-alive\r\n\r\n",
       "HTTP/1.1 100 Continue\r\nConnection: keep-alive\r\n\r\nHTTP/1.1 103 Early\r\n\r\n"
       "HTTP/1.0 404 Not Found\nConnection: close\r\n\nConnection: keep-alive\r\n\r\n",
       404},
      {"HTTP/1.1 101 Switching\r\nConnection: Upgrade\r\nUpgrade: ws\r\n\r\n\x81",
       "HTTP/1.1 101 Switching\r\nConnection: close\r\n\r\n\x81", 101},
      {"HTTP/1.1 204\r\nConnection: a,\r\n b\r\nB: 1\r\nC: 2\r\n\r\n",
       "HTTP/1.1 204\r\nC: 2\r\nConnection: close\r\n\r\n", 204},
      {"HTTP/1.1 200 OK\r\n\r\n" + big_body,
       "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + big_body, 200},
      // The coding frames the body, so no length goes on beside it; equal
      // lengths go on as one, differing ones as they came.
      {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n0\r\n\r\n", 200},
      {"HTTP/1.1 200 OK\r\nContent-Length: 4, 4\r\nX: y\r\ncontent-length: 4\r\n\r\nbody",
       "HTTP/1.1 200 OK\r\nX: y\r\nContent-Length: 4\r\nConnection: close\r\n\r\nbody", 200},
      {"HTTP/1.1 200 OK\r\nContent-Length: 4, 5\r\n\r\n",
       "HTTP/1.1 200 OK\r\nContent-Length: 4, 5\r\nConnection: close\r\n\r\n", 200},
      // Not HTTP, or cut short: everything passes as it came.
      {"HTTP/1.1 20x OK\r\n\r\n", "HTTP/1.1 20x OK\r\n\r\n", 0},
      {"HTTP/1.1 600 Odd\r\nConnection: x\r\n\r\n", "HTTP/1.1 600 Odd\r\nConnection: x\r\n\r\n", 0},
      {"\r\nHTTP/1.1 200 OK\r\n\r\n", "\r\nHTTP/1.1 200 OK\r\n\r\n", 0},
      {"HTTP/1.1 100 Continue\r\n\r\nhello", "HTTP/1.1 100 Continue\r\n\r\nhello", 0},
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n",
       "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n", 0},
  };
  for (const auto& [answer, expected, status] : rows) {
    for (std::size_t piece : {0, 1, 2, 7, 40}) {
      SCOPED_TRACE(answer.substr(0, 40) + " in pieces of " + std::to_string(piece));
      EXPECT_EQ(edit(answer, piece), std::make_pair(expected, status));
    }
  }
}

// For an HTTP/1.0 client no interim head goes on; a 101 nobody asked for,
// like bytes that cannot start a status line, marks the answer broken.
TEST(AnswerEditor, FitsTheAnswerToItsRequest) {
  const std::tuple<std::string, std::string, bool> rows[] = {
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early\r\nLink: x\r\n\r\nHTTP/1.1 204 No\r\n\r\n",
       "HTTP/1.1 204 No\r\nConnection: close\r\n\r\n", false},
      {"HTTP/1.1 101 Switching\r\nUpgrade: ws\r\n\r\n", "", true},
      {"\r\nHTTP/1.1 200 OK\r\n\r\n", "", true},
  };
  for (const auto& [answer, expected, broken] : rows) {
    answer_editor editor;
    answer_request old_client;
    old_client.interim_wanted = old_client.upgrade_asked = false;
    editor.fit_to_request(old_client);
    std::string_view out = editor.feed(answer);
    EXPECT_EQ(editor.broken(), broken) << answer;
    EXPECT_EQ(editor.interim_bytes(), 0u);
    if (!broken) {
      EXPECT_EQ(out, expected) << answer;
    }
  }
}

// Where connections may be kept, the final head says which: the fields the
// client gets and what the relay is told.
TEST(AnswerEditor, FindsWhetherBothConnectionsMayGoOn) {
  const body_tracker read_whole{body_framing{}}, still_reading{{body_kind::chunked}};
  struct row {
    std::string answer, head_end;
    bool upload_done, client_kept, server_kept, bound_or_switching;
  };
  const row rows[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", "2\r\n\r\n", true, true, true, false},
      {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n", "2\r\nConnection: keep-alive\r\n\r\n", true,
       true, false, false},
      {"HTTP/1.1 200 OK\r\n\r\n", "OK\r\nConnection: close\r\n\r\n", true, false, false, false},
      {"HTTP/1.1 204 No\r\n\r\n", "No\r\nConnection: close\r\n\r\n", false, false, true, false},
      {"HTTP/1.1 401 No\r\nWWW-Authenticate: NTLM\r\nContent-Length: 0\r\n\r\n", "0\r\n\r\n", true,
       true, true, true},
      {"HTTP/1.1 101 Go\r\nConnection: upgrade\r\nUpgrade: ws\r\n\r\n",
       "Go\r\nConnection: upgrade\r\nUpgrade: ws\r\n\r\n", true, false, false, true},
  };
  for (const row& r : rows) {
    answer_editor editor;
    editor.fit_to_request(
        {"GET", true, false, true, false, r.upload_done ? &read_whole : &still_reading});
    EXPECT_TRUE(std::string(editor.feed(r.answer)).ends_with(r.head_end)) << r.answer;
    const answer_found& found = editor.found();
    EXPECT_TRUE(found.final_head);
    EXPECT_EQ(found.client_kept, r.client_kept) << r.answer;
    EXPECT_EQ(found.server_kept, r.server_kept) << r.answer;
    EXPECT_EQ(found.connection_bound || found.switching, r.bound_or_switching) << r.answer;
  }
}

TEST(AnswerEditor, DecidesOnTheFirstByteThatCannotStartAStatusLine) {
  answer_editor named;  // and adds its Via entry to the final head's
  named.add_via("gw");
  EXPECT_EQ(named.feed("HTTP/1.1 200 OK\r\nVia: 1.0 a\r\nX: 1\r\nVia: 1.1 b\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nX: 1\r\nVia: 1.0 a, 1.1 b, 1.1 gw\r\nConnection: close\r\n\r\n");
  answer_editor editor, other;
  EXPECT_EQ(editor.feed("H"), "");
  EXPECT_EQ(editor.feed("TTP/1.1 20"), "");
  EXPECT_FALSE(editor.passing());
  EXPECT_EQ(editor.feed("!"), "HTTP/1.1 20!");
  EXPECT_TRUE(editor.passing());
  EXPECT_EQ(other.feed("X"), "X");
  EXPECT_TRUE(other.passing());
}

TEST(AnswerEditor, HeadsUpToTheLimitAreEditedLongerOnesPassUntouched) {
  const std::string start = "HTTP/1.1 200 OK\r\nX: ";
  const std::string end = "\r\nConnection: keep-alive\r\n\r\n";
  for (std::size_t extra : {0, 1}) {
    std::string answer =
        start + std::string(max_head_size - start.size() - end.size() + extra, 'a') + end + "body";
    for (std::size_t piece : {0, 1, 4096}) {
      SCOPED_TRACE(std::to_string(extra) + " over, pieces of " + std::to_string(piece));
      auto [text, status] = edit(answer, piece);
      EXPECT_EQ(status, extra == 0 ? 200 : 0);
      EXPECT_EQ(text == answer, extra == 1);
    }
  }
}

}  // namespace
