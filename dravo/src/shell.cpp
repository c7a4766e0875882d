// Until the command shell is in place, a connection's bytes are taken and nothing is answered.
#include "shell.hpp"

#include <mutex>

namespace {

std::mutex factoryLock;
ShellFactory defaultFactory;

class SilentShell final : public Shell {
public:
  void Consume(const uint8_t*, size_t) override {}
  void OnRequestReady(std::shared_ptr<Request>, std::shared_ptr<Resource>) override {}
  void FinishRequest() override {}
  void Unlink() override {}
  void Send(const uint8_t*, size_t, bool, bool, bool) override {}
  uint32_t Mode() const override { return 0; }
};

}  // namespace

std::unique_ptr<Shell> MakeShell(Requestor&, Server&, bool) { return std::make_unique<SilentShell>(); }

ShellFactory DefaultShellFactory() {
  std::lock_guard<std::mutex> lock(factoryLock);
  return defaultFactory ? defaultFactory : ShellFactory(MakeShell);
}

void SetDefaultShellFactory(ShellFactory factory) {
  std::lock_guard<std::mutex> lock(factoryLock);
  defaultFactory = std::move(factory);
}
