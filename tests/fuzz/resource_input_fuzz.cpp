// Arbitrary controller reads through a resource's input sorting, with a client owning the
// resource or not, in raw or cooked mode: nothing crashes, no byte is delivered that did not
// arrive, and a part marked as binary never also ends a reply.
#include "clients/requestor.hpp"
#include "core/server.hpp"
#include "resources/resource.hpp"
#include "shell/request.hpp"
#include "shell/shell.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

class CountingShell : public Shell {
public:
  void Consume(const uint8_t*, size_t) override {}
  void OnRequestReady(std::shared_ptr<Request>, std::shared_ptr<ShellResource> resource) override {
    serving = resource;
  }
  void FinishRequest() override {
    if (const auto resource = serving.lock()) resource->RequestDone();
    serving.reset();
  }
  void Unlink() override {}
  void Send(const uint8_t*, size_t length, bool, bool replyComplete, bool binaryPart) override {
    if (replyComplete && binaryPart) std::abort();
    delivered += length;
    if (replyComplete) FinishRequest();
  }
  uint32_t Mode() const override { return mode; }
  void Reply(int, const std::string&) override {}
  void SetLastError(std::string) override {}

  uint32_t mode = 2;
  size_t delivered = 0;
  std::weak_ptr<ShellResource> serving;
};

class QuietRequestor : public Requestor {
public:
  QuietRequestor(boost::asio::io_context& io, Server& server) : Requestor(io, server) {}
  std::string Protocol() const override { return "tcp"; }
  uint16_t Port() const override { return 1; }
  std::string Address() const override { return "127.0.0.1"; }
  void StartRead() override {}
  CountingShell& Counter() { return static_cast<CountingShell&>(GetShell()); }

private:
  void WriteFront() override {
    writeQueue.clear();
    OnWritten();
  }
};

class FedResource : public Resource {
public:
  FedResource(uint32_t kind, boost::asio::io_context& io, Server& server)
      : Resource(io, server, 1), kind(kind) {}
  uint32_t Kind() const override { return kind; }
  void Feed(const uint8_t* bytes, size_t length) {
    length = std::min(length, readBuffer.size());
    std::copy(bytes, bytes + length, readBuffer.begin());
    OnRead({}, length);
  }
  uint32_t kind;

protected:
  void Close(std::shared_ptr<Resource>) override {}
  void Write(const uint8_t*, size_t length) override {
    boost::asio::post(io, [self = shared_from_this(), this, length] { OnWrite({}, length); });
  }
  void StartRead() override {}
};

void Settle(Server& server) {
  server.EventLoop().restart();
  server.EventLoop().poll();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Server server([](Requestor&, Server&, bool) { return std::make_unique<CountingShell>(); });
  auto resource = std::make_shared<FedResource>(data[0] & 1, server.EventLoop(), server);
  auto owner = std::make_shared<QuietRequestor>(server.EventLoop(), server);
  auto listener = std::make_shared<QuietRequestor>(server.EventLoop(), server);
  auto join = Request::RequestWithOp(1, listener);
  for (int code : {3, 5, 7}) join->PushOp(code);
  resource->Submit(join);
  resource->Submit(Request::RequestWithOp(1, owner));
  Settle(server);

  size_t fed = 0;
  size_t begin = 1;
  // The input is cut at 0xFF into steps; a step's first byte says what it does with the rest.
  for (size_t i = 1; i <= size; ++i) {
    if (i < size && data[i] != 0xFF) continue;
    const uint8_t* step = data + begin;
    const size_t length = i - begin;
    begin = i + 1;
    if (length == 0) continue;
    switch (step[0]) {
      case 'C':  // the owner sends a command and waits for its reply
        resource->Submit(
            std::make_shared<Request>(reinterpret_cast<const uint8_t*>("MG\r"), 3, owner));
        break;
      case 'D':
        owner->Counter().FinishRequest();
        break;
      case 'R':
        owner->Counter().mode = owner->Counter().mode == 1 ? 2 : 1;
        break;
      default:
        resource->Feed(step + 1, length - 1);
        fed += std::min(length - 1, Resource::kBufferSize);
        break;
    }
    Settle(server);
    // A broadcast reaches the one listener once; nothing is made up on the way.
    if (owner->Counter().delivered + listener->Counter().delivered > fed) std::abort();
  }
  owner->Close();
  listener->Close();
  resource->Release();  // its idle timer would hold the teardown up
  Settle(server);
  return 0;
}
