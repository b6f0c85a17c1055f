// The waiting room over socket pairs, in-process: each event reaches one of
// many waiting threads once, deadlines and events never both claim a
// connection, the line for slots keeps its order, and a close ends every wait.
#include "waiting_room.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace ferry;
using namespace std::chrono_literals;
using kind = waiting_room::kind;

namespace {

// A connection whose client side is one end of a socket pair; `peer` is the other.
client_connection paired(unique_fd& peer, std::uint8_t address_byte = 1) {
  int ends[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  client_connection connection;
  connection.client = unique_fd(ends[0]);
  connection.peer.address.bytes[15] = address_byte;
  peer = unique_fd(ends[1]);
  return connection;
}

auto far_off() { return waiting_room::clock::now() + 1h; }

TEST(WaitingRoom, EachReadyConnectionReachesOneOfManyWaitingThreadsOnce) {
  waiting_room room(100, 100, 10);
  ASSERT_TRUE(room.open());
  constexpr int connections = 40;
  std::atomic<int> woken{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (;;) {
        waiting_room::leaving ready;
        std::vector<waiting_room::leaving> expired;
        waiting_room::woke woke = room.wait(-1, ready, expired);
        if (woke == waiting_room::woke::closing) return;
        if (woke == waiting_room::woke::connection) woken.fetch_add(1);
      }
    });
  }
  std::vector<unique_fd> peers(connections);
  std::vector<waiting_room::leaving> evicted;
  for (int i = 0; i < connections; ++i) {
    client_connection connection = paired(peers[i], static_cast<std::uint8_t>(i));
    // Half already have bytes when admitted: armed while ready, they still wake.
    if (i % 2 == 0) {
      ASSERT_EQ(write(peers[i].get(), "G", 1), 1);
    }
    ASSERT_TRUE(room.admit(connection, kind::fresh, far_off(), evicted));
    if (i % 2 == 1) {
      ASSERT_EQ(write(peers[i].get(), "G", 1), 1);
    }
  }
  for (auto until = std::chrono::steady_clock::now() + 5s;
       woken.load() < connections && std::chrono::steady_clock::now() < until;) {
    std::this_thread::sleep_for(1ms);
  }
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(woken.load(), connections);
  // A close reaches every thread, in a wait or on its way to one, and the
  // room takes nothing after it.
  room.close();
  for (std::thread& thread : threads) thread.join();
  unique_fd late_peer;
  client_connection late = paired(late_peer);
  EXPECT_FALSE(room.admit(late, kind::kept, far_off(), evicted));
  EXPECT_GE(late.client.get(), 0);
}

// A connection whose time has passed and whose bytes came at once leaves
// either as ready or as expired, never both and never neither.
TEST(WaitingRoom, ADeadlineAndAnEventAtOnceClaimTheConnectionOnce) {
  waiting_room room(100, 100, 10);
  ASSERT_TRUE(room.open());
  std::vector<unique_fd> peers(20);
  std::vector<waiting_room::leaving> evicted, expired;
  for (std::size_t i = 0; i < peers.size(); ++i) {
    client_connection connection = paired(peers[i]);
    ASSERT_TRUE(room.admit(connection, kind::kept, waiting_room::clock::now(), evicted));
    EXPECT_EQ(write(peers[i].get(), "G", 1), 1);
  }
  int ready_count = 0;
  for (int waits = 0; waits < 100 && ready_count + expired.size() < peers.size(); ++waits) {
    waiting_room::leaving ready;
    if (room.wait(50, ready, expired) == waiting_room::woke::connection) ++ready_count;
  }
  EXPECT_EQ(ready_count + expired.size(), peers.size());
  waiting_room::leaving none;
  EXPECT_EQ(room.wait(50, none, expired), waiting_room::woke::idle);
}

TEST(WaitingRoom, TheSlotLineIsBoundedFirstComeFirstServedAndExpires) {
  waiting_room room(100, 100, 2);
  ASSERT_TRUE(room.open());
  unique_fd peer_a, peer_b, peer_c;
  client_connection a = paired(peer_a, 1), b = paired(peer_b, 2), c = paired(peer_c, 3);
  ASSERT_TRUE(room.line_up_for_slot(a, far_off()));
  ASSERT_TRUE(room.line_up_for_slot(b, waiting_room::clock::now()));
  EXPECT_FALSE(room.line_up_for_slot(c, far_off()));
  EXPECT_GE(c.client.get(), 0);
  std::vector<waiting_room::leaving> expired;
  room.expire(waiting_room::clock::now(), expired);
  ASSERT_EQ(expired.size(), 1u);
  EXPECT_EQ(expired[0].connection.peer.address.bytes[15], 2);
  EXPECT_EQ(expired[0].waited, kind::for_slot);
  client_connection taken;
  ASSERT_TRUE(room.take_for_slot(taken));
  EXPECT_EQ(taken.peer.address.bytes[15], 1);
  EXPECT_FALSE(room.take_for_slot(taken));
}

// A kept connection's server that speaks while no request is on it is
// closed; the client goes on waiting.
TEST(WaitingRoom, AKeptServerThatSpeaksIsDroppedAndTheClientWaitsOn) {
  waiting_room room(100, 100, 2);
  ASSERT_TRUE(room.open());
  unique_fd client_peer, server_peer;
  client_connection kept = paired(client_peer);
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  kept.server = unique_fd(ends[0]);
  server_peer = unique_fd(ends[1]);
  std::vector<waiting_room::leaving> evicted, expired;
  ASSERT_TRUE(room.admit(kept, kind::kept, far_off(), evicted));
  EXPECT_EQ(write(server_peer.get(), "X", 1), 1);
  waiting_room::leaving ready;
  EXPECT_EQ(room.wait(1000, ready, expired), waiting_room::woke::nothing);
  char byte;
  EXPECT_LE(read(server_peer.get(), &byte, 1), 0);  // closed by the room
  EXPECT_EQ(write(client_peer.get(), "G", 1), 1);
  ASSERT_EQ(room.wait(1000, ready, expired), waiting_room::woke::connection);
  EXPECT_EQ(ready.waited, kind::kept);
  EXPECT_LT(ready.connection.server.get(), 0);
}

}  // namespace
