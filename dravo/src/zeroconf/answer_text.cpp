// Answer-safe text: the two terminators and control bytes become "?".
#include "zeroconf/answer_text.hpp"

std::string AnswerSafeText(const std::string& text) {
  std::string safe = text;
  for (char& byte : safe) {
    const auto code = static_cast<unsigned char>(byte);
    if (byte == '~' || byte == '\\' || code < 0x20 || code == 0x7f) byte = '?';
  }
  return safe;
}
