// The host's `status` never waits for a lock another thread holds: with any one of the locks it
// reads under held elsewhere, it answers nil and "busy"; once released, the document again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "lua_test_host.hpp"
#include "base/fault.hpp"
#include "base/testing.hpp"
#include "http/server_slot.hpp"
#include "http/testing.hpp"
#include "host/snapshot.hpp"
#include "host/testing.hpp"
#include "http/server.hpp"
#include "geo/projection.hpp"
#include "geo/testing.hpp"
#include "streams/registry.hpp"
#include "streams/testing.hpp"
#include "work/terrain_state.hpp"

namespace qm {
namespace {

// Runs `body` while another thread holds `lock`. The holder lets go after a minute at the latest, so
// a `status` that waits for the lock returns (with a document, failing the test) instead of hanging.
template <class Lockable>
void while_held(Lockable& lock, const std::function<void()>& body) {
  std::atomic<int> phase{0};
  std::thread holder([&] {
    std::lock_guard guard(lock);
    phase = 1;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (phase.load() != 2 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (phase.load() != 1) std::this_thread::yield();
  body();
  phase = 2;
  holder.join();
}

TEST(LuaStatus, AnswersBusyWhileAnyLockItTriesIsHeld) {
  test::LuaTestHost host;
  const auto server = std::make_shared<server::Server>(30000, 1, server::LanMode{});
  swap_server(server);
  const TerrainStateRef terrain = init_terrain_state();
  // A mission on the own server with converted anchors: the projection part reads the cache too.
  host.run("m.mission_start('<< QuillMarsh Server  P-V-E>>', 'Busy', 'Caucasus'); "
           "m.projection_anchors(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18); m.frame(1); m.frame_end()");

  const auto expect_document = [&](const char* after) {
    host.run("return m.status()");
    ASSERT_EQ(host.results(), 1) << after;
    EXPECT_EQ(host.text(1).rfind("{", 0), 0u) << after;
  };
  expect_document("nothing held");

  const std::vector<std::pair<const char*, std::function<void(const std::function<void()>&)>>> locks = {
      {"server", [](const auto& body) { while_held(server_slot_lock(), body); }},
      {"snapshot", [](const auto& body) { while_held(snapshot_lock(), body); }},
      {"error text", [&](const auto& body) { while_held(server::TestAccess::error_lock(*server), body); }},
      {"LAN state", [&](const auto& body) { while_held(server::TestAccess::lan_lock(*server), body); }},
      {"last panic", [](const auto& body) { while_held(last_panic_lock(), body); }},
      {"projection cache", [](const auto& body) { while_held(projection_cache_lock(), body); }},
      {"schedule", [&](const auto& body) { while_held(terrain->schedule_lock, body); }},
      {"last sampled", [&](const auto& body) { while_held(terrain->last_sampled_lock, body); }},
      {"last built", [&](const auto& body) { while_held(terrain->last_built_lock, body); }},
      {"worker message", [&](const auto& body) { while_held(terrain->message_lock, body); }},
      {"stream registry", [](const auto& body) { while_held(StreamsTestAccess::registry_lock(stream_registry()), body); }},
  };
  for (const auto& [name, hold] : locks) {
    hold([&] {
      host.run("return m.status()");
      ASSERT_EQ(host.results(), 2) << name;
      EXPECT_TRUE(host.is_nil(1)) << name;
      EXPECT_EQ(host.text(2), "busy") << name;
    });
    expect_document(name);
  }
  swap_server(nullptr);
}

}  // namespace
}  // namespace qm
