// Arbitrary program and option text through the preprocessor, include files from memory.
// Input: byte 0 line limit, byte 1 width limit, byte 2 bit 0 continuation; then NUL-separated
// options, program, and the texts of the include files "a" and "inc/b".
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/orvan_error.hpp"
#include "program/preprocessor.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int lineLimit = data[0];
  const int widthLimit = data[1];
  const bool continuation = data[2] & 1;
  std::vector<std::string> parts(1);
  for (size_t i = 3; i < size; ++i) {
    if (data[i] == 0 && parts.size() < 4)
      parts.emplace_back();
    else
      parts.back() += static_cast<char>(data[i]);
  }
  parts.resize(4);

  auto loader = std::make_shared<orvan::MemoryProgramLoader>();
  loader->Add("a", parts[2]);
  loader->Add("inc/b", parts[3]);
  orvan::Preprocessor preprocessor(loader);
  std::string out;
  try {
    const int level =
        preprocessor.Run(parts[0], parts[1], out, lineLimit, widthLimit, continuation);
    if (level < 0 || level > preprocessor.Max() + 1) std::abort();
    if (level > preprocessor.Max()) return 0;  // did not fit, handed back for an insert
    // A program that fits has at most lineLimit + 1 lines, each within the width.
    int lines = 0;
    size_t start = 0;
    for (size_t end = out.find('\r'); end != std::string::npos; end = out.find('\r', start)) {
      if (static_cast<int>(end - start) + 1 > widthLimit) std::abort();
      ++lines;
      start = end + 1;
    }
    if (start != out.size() || lines > lineLimit + 1) std::abort();
  } catch (const orvan::OrvanError& e) {
    const int code = e.Code();
    if (code != -1202 && code != -1203 && code != -1204 && code != -10005) std::abort();
    if (e.Message().empty()) std::abort();
  }
  return 0;
}
