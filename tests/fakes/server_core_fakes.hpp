// Small stand-ins for what plugs into the server core: a scripted shell, a resource that
// records what the core asks of it, and a shell and client connection that record what a
// resource delivers.
#pragma once

#include "clients/requestor.hpp"
#include "core/server.hpp"
#include "protocol/shell_wire.hpp"
#include "resources/open_parameters.hpp"
#include "resources/resource.hpp"
#include "shell/request.hpp"
#include "shell/shell.hpp"

#include <atomic>
#include <string>
#include <vector>

// Takes lines ended by '\n'. "quit" ends the connection, "restart" and "shutdown" reach the
// server, "timeout N" sets the idle timeout, "who" answers the shell's serial number,
// "throw" fails; any other line is echoed.
class ScriptedShell : public Shell {
public:
  ScriptedShell(Requestor& owner, Server& server);
  void Consume(const uint8_t* bytes, size_t length) override;
  void OnRequestReady(std::shared_ptr<Request>, std::shared_ptr<ShellResource>) override {}
  void FinishRequest() override { ++finished; }
  void Unlink() override {
    ++unlinked;
    ++ended;
  }
  void Send(const uint8_t*, size_t, bool, bool, bool) override {}
  uint32_t Mode() const override { return 0; }
  void Reply(int, const std::string&) override {}
  void SetLastError(std::string) override {}

  static ShellFactory Factory();
  static std::atomic<int> made;   // shells made so far, process-wide
  static std::atomic<int> ended;  // shells whose connection was closed (Unlink)
  int finished = 0, unlinked = 0;

private:
  void Execute(const std::string& line);
  Requestor& owner;
  Server& server;
  std::string line;
  int serial;
};

class FakeResource : public Resource {
public:
  FakeResource(uint32_t kind, boost::asio::io_context& io, Server& server, uint32_t id,
               bool failOpen);
  uint32_t Kind() const override { return kind; }
  void Open(const OpenParameters& parameters) override;
  void Release() override { ++released; }
  bool Matches(const OpenParameters& parameters) const override;
  void Submit(std::shared_ptr<Request> request) override {
    submitted.push_back(std::move(request));
  }
  void Close(std::shared_ptr<Resource>) override {}
  void Write(const uint8_t*, size_t) override {}
  void StartRead() override {}
  void QueueWrite(const uint8_t* data, size_t length) override {
    written.append(data, data + length);
  }
  void RequestDone() override { ++done; }

  uint32_t kind;
  bool failOpen;
  int released = 0;
  std::vector<std::shared_ptr<Request>> submitted;
  std::string written;  // what the shell had written to the controller
  int done = 0;         // RequestDone calls
};

// Records what resources deliver; its owner's writes go through the owner's bounded queue.
// Finishing the request hands the resource on, as the command shell does.
class RecordingShell : public Shell {
public:
  struct Delivery {
    std::string bytes;
    bool unsolicited, replyComplete, binaryPart;
  };
  explicit RecordingShell(Requestor& owner) : owner(owner) {}
  void Consume(const uint8_t*, size_t) override {}
  void OnRequestReady(std::shared_ptr<Request> request,
                      std::shared_ptr<ShellResource> resource) override;
  void FinishRequest() override;
  void Unlink() override {}
  void Send(const uint8_t* bytes, size_t length, bool unsolicited, bool replyComplete,
            bool binaryPart) override;
  uint32_t Mode() const override { return mode; }
  void Reply(int, const std::string&) override {}
  void SetLastError(std::string) override {}

  static ShellFactory Factory();
  // All bytes delivered with that unsolicited flag, joined.
  std::string Joined(bool unsolicited) const;

  uint32_t mode = orvan::protocol::kCookedMode;
  // Write the command bytes of each request that becomes current (as the shell does).
  bool writeCommands = true;
  std::vector<std::shared_ptr<Request>> ready;
  std::vector<Delivery> deliveries;
  std::weak_ptr<ShellResource> serving;

private:
  Requestor& owner;
};

// A client connection without a carrier: its writes complete on the next turn of the loop,
// or never once `stalled` (a client that stopped reading).
class LoopRequestor : public Requestor {
public:
  LoopRequestor(boost::asio::io_context& io, Server& server) : Requestor(io, server) {}
  std::string Protocol() const override { return "tcp"; }
  uint16_t Port() const override { return 1; }
  std::string Address() const override { return "127.0.0.1"; }
  void StartRead() override {}
  RecordingShell& Recorder() { return static_cast<RecordingShell&>(GetShell()); }

  bool stalled = false;
  std::string written;

private:
  bool WriteFront() override;
};
