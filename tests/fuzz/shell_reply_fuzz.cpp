// Server answers of any content cut into receives of any size: collecting a shell reply never
// reads past a receive, keeps no terminator, and agrees with the answer read in one piece.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "server_client/shell_exchange.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the receive size, the rest is what the server sent.
  const size_t receive = data[0] % 64 + 1;
  const std::string answer(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string whole;
  const auto expected = orvan::CollectShellReply(answer.data(), answer.size(), whole);

  std::string reply;
  auto state = orvan::ShellAnswer::Incomplete;
  for (size_t position = 0; position < answer.size() && state == orvan::ShellAnswer::Incomplete;
       position += receive) {
    // A copy of exactly one receive, so the sanitizer sees any read past it.
    const size_t length = std::min(receive, answer.size() - position);
    const std::vector<char> chunk(answer.begin() + position, answer.begin() + position + length);
    state = orvan::CollectShellReply(chunk.data(), chunk.size(), reply);
  }
  if (state != expected || reply != whole) std::abort();
  if (reply.find_first_of("~\\") != std::string::npos) std::abort();
  return 0;
}
