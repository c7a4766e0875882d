// A server core driven on the test's thread with the real resource kinds, and controller peers
// (a TCP listener, a UDP socket) on loopback on the same event loop.
#pragma once

#include "core/server.hpp"
#include "fakes/server_core_fakes.hpp"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class NetworkResourceTest : public testing::Test {
protected:
  NetworkResourceTest()
      : server(RecordingShell::Factory(),
               [this](uint32_t kind, boost::asio::io_context& io, Server& core, uint32_t id) {
                 made = MakeResource(kind, io, core, id);
                 return made;
               }) {}

  boost::asio::io_context& io() { return server.EventLoop(); }

  // Runs the loop until `done` holds or the time is up.
  bool RunUntil(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      io().restart();
      io().run_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  void RunFor(std::chrono::milliseconds time) {
    RunUntil([] { return false; }, time);
  }

  void Open(const std::string& address, uint16_t port, uint32_t kind) {
    auto parameters = std::make_unique<OpenParameters>();
    parameters->address = address;
    parameters->port = port;
    parameters->kind = kind;
    server.OpenResource(std::move(parameters));
  }
  bool InTable() { return !server.ListResources().empty(); }

  std::shared_ptr<LoopRequestor> Client(std::initializer_list<int> codes) {
    auto client = std::make_shared<LoopRequestor>(io(), server);
    server.AddRequestor(client);
    auto request = std::make_shared<Request>(nullptr, 0, client);
    for (int code : codes) request->PushOp(code);
    server.Submit(made->Id(), request);
    return client;
  }
  void Command(const std::shared_ptr<LoopRequestor>& client, const std::string& text) {
    server.Submit(made->Id(),
                  std::make_shared<Request>(reinterpret_cast<const uint8_t*>(text.data()),
                                            text.size(), client));
  }

  Server server;
  std::shared_ptr<Resource> made;
};
