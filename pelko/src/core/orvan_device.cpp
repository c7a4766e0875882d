// The command engine and the other routines every device shares.
#include "core/orvan_device.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iterator>
#include <system_error>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "identify/description.hpp"
#include "platform/whole_file.hpp"

namespace orvan {
namespace {

constexpr char kCarriageReturn = '\r';
constexpr char kLineFeed = '\n';
constexpr char kCtrlZ = 0x1A;
constexpr char kTrimmed[] = "\r\n :>\x1A";

bool IsPrompt(char byte) { return byte == ':' || byte == '>'; }

std::string TrimText(const std::string& reply) {
  const auto first = reply.find_first_not_of(kTrimmed, 0, sizeof kTrimmed - 1);
  if (first == std::string::npos) return {};
  const auto last = reply.find_last_not_of(kTrimmed, std::string::npos, sizeof kTrimmed - 1);
  return reply.substr(first, last - first + 1);
}

int64_t ElapsedMilliseconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace

OrvanDevice::OrvanDevice() : options(std::make_shared<OrvanOptions>()) {}

OrvanDevice::~OrvanDevice() = default;

void OrvanDevice::Initialize() {
  Command("EO0", false, -1, false);
  if (promptState) return;  // the monitor knows neither CW nor identification
  Command("CW1", false, -1, false);
  if (description) {
    description->Identify(DescribedDevice());
    if (description->qqWord != 0) Command("QQ", false, -1, false);
  }
}

OrvanDevice::Byte OrvanDevice::ScanBinary(uint8_t byte, std::string& reply) {
  switch (binaryState) {
    case 0:
      if ((byte & 0xE8) == 0x80) {
        reply += static_cast<char>(byte);
        binaryState = 1;
      } else if (byte == '?') {
        // A refused "QR" answers a plain '?'; unsolicited text here always has bit 7 set.
        return Byte::ControllerError;
      } else {
        QueueUnsolicited(byte);
      }
      return Byte::Kept;
    case 1:
      reply += static_cast<char>(byte);
      binaryState = 2;
      return Byte::Kept;
    case 2:
      reply += static_cast<char>(byte);
      binaryRemaining = byte;
      binaryState = 3;
      return Byte::Kept;
    case 3:
      reply += static_cast<char>(byte);
      binaryRemaining += 256 * byte - 3;
      binaryState = 4;
      // A declared length below 3 would never count down to 0: the header is the whole reply.
      return binaryRemaining <= 0 ? Byte::Ended : Byte::Kept;
    default:
      reply += static_cast<char>(byte);
      --binaryRemaining;
      return binaryRemaining <= 0 ? Byte::Ended : Byte::Kept;
  }
}

std::string OrvanDevice::Command(const std::string& command, bool trim, int32_t timeout,
                                 bool throwOnError) {
  if (timeout <= 0) timeout = options->timeout;
  binaryState = 0;
  binaryRemaining = -1;
  bool binaryMode = false;
  bool quMode = false;
  bool mgMode = false;

  std::string text;
  for (const char c : command) {
    if (c == ';')
      throw OrvanError(-1105, "use a higher-level Command() call for compound commands");
    if (c == ' ' && text.empty()) continue;
    text += c;
    if (text.size() == 2) {
      if (text == "DL" || text == "ED" || text == "QD")
        throw OrvanError(-1106, text + " illegal in Command() call");
      binaryMode = text == "QR";
      quMode = text == "QU";
      mgMode = text == "MG";
    }
  }
  text += kCarriageReturn;
  Write(text.data(), text.size(), timeout, false);

  std::string reply;
  int64_t lastCr = -1;
  int64_t lastLf = -1;
  int64_t lastCtrlZ = -1;
  int32_t reads = 0;
  for (;;) {
    size_t count = 0;
    try {
      count = Read(readBuffer.data(), readBuffer.size(), !binaryMode, timeout);
    } catch (const OrvanError& e) {
      throw OrvanError(e.Code(), reply);
    }
    count = std::min(count, readBuffer.size());
    if (count == 0) {
      // With no time to wait, an empty read is the timeout; repeating it would spin.
      if (timeout == 0) throw OrvanError(-1100, reply);
      continue;
    }
    ++reads;
    const bool firstLone = reads == 1 && count == 1;

    size_t end = 0;  // one past the reply's last byte in this read, 0 while it goes on
    for (size_t i = 0; i < count && end == 0; ++i) {
      const uint8_t byte = static_cast<uint8_t>(readBuffer[i]);
      bool controllerError = false;
      if (binaryMode) {
        const Byte result = ScanBinary(byte, reply);
        if (result == Byte::Ended) {
          binaryState = 0;
          binaryRemaining = -1;
          end = i + 1;
        }
        controllerError = result == Byte::ControllerError;
      } else {
        const int64_t h = static_cast<int64_t>(reply.size());
        reply += static_cast<char>(byte);
        if (byte == kCarriageReturn) lastCr = h;
        if (byte == kLineFeed) lastLf = h;
        if (byte == kCtrlZ) lastCtrlZ = h;
        if (IsPrompt(static_cast<char>(byte))) {
          const bool lastOfRead = i + 1 == count;
          if (firstLone || (lastOfRead && ((lastCr == h - 2 && lastLf == h - 1) ||
                                           lastCtrlZ == h - 1 || (quMode && lastCr == h - 1) ||
                                           mgMode || (lastCr == h - 3 && lastLf == h - 2))))
            end = i + 1;
        } else if (byte == '?') {
          controllerError = firstLone || lastLf == h - 1;
        }
      }
      if (controllerError) {
        promptState = false;
        if (throwOnError) throw OrvanError(-10000);
        return "?";
      }
    }

    if (end != 0) {
      for (size_t i = end; i < count; ++i) QueueUnsolicited(static_cast<uint8_t>(readBuffer[i]));
      promptState = !reply.empty() && reply.back() == '>';
      if (!trim) return reply;
      if (binaryMode) {
        // Record bytes may equal any trim character; only the prompt after them goes.
        if (!reply.empty() && reply.back() == ':') reply.pop_back();
        return reply;
      }
      return TrimText(reply);
    }
    if (reply.size() > kReplyLimit)
      throw OrvanError(-10004, "reply exceeds " + std::to_string(kReplyLimit) + " bytes");
  }
}

void OrvanDevice::QueueUnsolicited(uint8_t byte) {
  if (unsolicited.size() >= kUnsolicitedLimit) return;
  unsolicited.push_back(byte & 0x7F);
}

size_t OrvanDevice::TakeUnsolicited(char* buffer, uint64_t length) {
  uint64_t taken = 0;
  while (taken < length && !unsolicited.empty()) {
    buffer[taken++] = static_cast<char>(unsolicited.front());
    unsolicited.pop_front();
  }
  return static_cast<size_t>(taken);
}

size_t OrvanDevice::Message(char* buffer, uint64_t length, int32_t timeout) {
  if (timeout < 0) timeout = options->timeout;
  const auto start = std::chrono::steady_clock::now();
  uint64_t delivered = TakeUnsolicited(buffer, length);

  if (BytesAvailable() > 0) {
    bool timeUp = false;
    std::array<char, kReadBlock> local;
    for (;;) {
      size_t count = 0;
      try {
        count = std::min(Read(local.data(), local.size(), false, 100), local.size());
      } catch (const OrvanError&) {
        break;
      }
      for (size_t i = 0; i < count; ++i) {
        const uint8_t byte = static_cast<uint8_t>(local[i]) & 0x7F;
        if (delivered < length)
          buffer[delivered++] = static_cast<char>(byte);
        else
          QueueUnsolicited(byte);
      }
      if (timeout != 0 && ElapsedMilliseconds(start) >= timeout) {
        timeUp = true;
        break;
      }
      if (delivered >= length || BytesAvailable() < 1) break;
    }
    // Bytes already moved out of the queue are the caller's now; only an empty result times out.
    if (timeUp && delivered == 0) throw OrvanError(-1100);
  }

  if (delivered > 0) return delivered;
  if (timeout == 0 || length == 0) return 0;

  for (;;) {
    const size_t count = std::min<uint64_t>(Read(buffer, length, false, timeout), length);
    for (size_t i = 0; i < count; ++i) buffer[i] = static_cast<char>(buffer[i] & 0x7F);
    if (count > 0) return count;
    if (ElapsedMilliseconds(start) >= timeout) throw OrvanError(-1100);
  }
}

void OrvanDevice::SetRecordBuffer(const std::shared_ptr<OrvDataRecord>& record) {
  recordBuffer = record;
}

uint8_t OrvanDevice::Interrupt(int32_t) { throw OrvanError(-1109, "no interrupts on this bus"); }

void OrvanDevice::FirmwareDownload(const std::string&, Connection&) {
  throw OrvanError(-1109, ErrorCodeText(-1109));
}

void OrvanDevice::SetOption(int32_t, int32_t) {}

void OrvanDevice::SetCallback(OrvProgressCallback callback, void* user) {
  progressCallback = callback;
  callbackUser = user;
}

int32_t OrvanDevice::EffectiveTimeout(int32_t timeout) {
  if (timeout > 0) return timeout;
  if (timeout < 0) return options->timeout;
  if (BytesAvailable() == 0) return 0;
  return BytesAvailable() < 0 ? 10 : options->timeout;
}

size_t OrvanDevice::ReadChunk(int32_t timeout, bool check) {
  if (timeout == 0 && BytesAvailable() < 1) return 0;
  size_t count = 0;
  try {
    count = std::min(Read(readBuffer.data(), readBuffer.size(), false, timeout), readBuffer.size());
  } catch (const OrvanError&) {
    return 0;
  } catch (const std::exception&) {
    return 0;
  }
  if (check && std::memchr(readBuffer.data(), '?', count))
    throw OrvanError(-10000, std::string(readBuffer.data(), count));
  return count;
}

size_t OrvanDevice::WaitForByte(uint8_t byte) {
  for (;;) {
    const size_t count =
        std::min(Read(readBuffer.data(), readBuffer.size(), true, 10000), readBuffer.size());
    for (size_t i = 0; i < count; ++i) {
      const uint8_t got = static_cast<uint8_t>(readBuffer[i]);
      if (got == byte) return count;
      if (got == '?') throw OrvanError(-10000);
    }
  }
}

std::string ReadWholeFile(const std::string& path) {
  std::string bytes;
  if (platform::ReadWholeFile(path, kLargestFile, bytes))
    throw OrvanError(-10005, "file could not be opened");
  return bytes;
}

void WaitMilliseconds(uint32_t milliseconds) {
  // An absolute deadline on the monotonic clock: interruptions resume the same wait.
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  for (;;) {
    const int result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    if (result == 0) return;
    if (result != EINTR) throw std::system_error(result, std::generic_category(), "wait");
  }
}

}  // namespace orvan
