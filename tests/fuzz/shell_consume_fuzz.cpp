// Arbitrary client bytes through a shell, mixed with controller output and request starts:
// nothing crashes, every request stays within its capacity, and quit is the only way out.
#include <stdlib.h>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "core/i_error.hpp"
#include "fakes/shell_fakes.hpp"
#include "shell/command_shell.hpp"
#include "shell/request.hpp"

namespace {

// The input is cut at 0xFF into steps; a step's first byte says what it does with the rest.
void Step(CommandShell& shell, FakeShellServer& server, std::size_t& started,
          const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const std::uint8_t* rest = data + 1;
  const std::size_t restSize = size - 1;
  switch (data[0]) {
    case 'S':
      shell.Send(rest, restSize, false, false);
      break;
    case 'B':
      shell.Send(rest, restSize, false, true);
      break;
    case 'U':
      shell.Send(rest, restSize, true, false);
      break;
    case 'F':
      shell.FinishRequest();
      break;
    case 'R':
      if (started < server.submitted.size()) {
        const auto& submission = server.submitted[started++];
        shell.OnRequestReady(submission.request, server.resources.at(submission.id));
      }
      break;
    case 'C':
      shell.Consume(rest, restSize);
      break;
    default:
      shell.Consume(data, size);
      break;
  }
}

}  // namespace

// "publish --save" writes settings: keep them in a folder of the fuzzer's own.
char settingsFolder[] = "/tmp/shell-fuzz-XXXXXX";

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!mkdtemp(settingsFolder)) std::abort();
  setenv("ORVAN_PROGRAM_DATA", settingsFolder, 1);
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(settingsFolder, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FakeShellOwner owner;
  FakeShellServer server;
  for (std::uint32_t id : {1u, 2u}) server.resources[id] = std::make_shared<FakeShellResource>();
  server.addresses["10.0.0.2/"] = 1;
  auto shell = std::make_unique<CommandShell>(owner, server, true);
  std::size_t started = 0;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i < size && data[i] != 0xFF) continue;
    try {
      Step(*shell, server, started, data + begin, i - begin);
    } catch (const IError& e) {
      if (e.code != 0) std::abort();
      shell->FinishRequest();
      shell->Unlink();
      shell = std::make_unique<CommandShell>(owner, server, true);
    }
    begin = i + 1;
    owner.written.clear();
  }
  for (const auto& submission : server.submitted) {
    if (submission.request->length > Request::kMaxLength) std::abort();
  }
  return 0;
}
