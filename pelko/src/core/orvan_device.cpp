// The command engine and the other routines every device shares.
#include "core/orvan_device.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iterator>
#include <system_error>
#include <utility>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "identify/description.hpp"
#include "platform/whole_file.hpp"

namespace orvan {
namespace {

constexpr char kCarriageReturn = '\r';
constexpr char kOwedReplyUnended[] = "an earlier command's late reply did not end in time";
constexpr char kTrimmed[] = "\r\n :>\x1A";

std::string TrimText(const std::string& reply) {
  const auto first = reply.find_first_not_of(kTrimmed, 0, sizeof kTrimmed - 1);
  if (first == std::string::npos) return {};
  const auto last = reply.find_last_not_of(kTrimmed, std::string::npos, sizeof kTrimmed - 1);
  return reply.substr(first, last - first + 1);
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

std::string OrvanDevice::Command(const std::string& command, bool trim, int32_t timeout,
                                 bool throwOnError) {
  if (timeout <= 0) timeout = options->timeout;

  std::string text;
  for (const char c : command) {
    if (c == ';')
      throw OrvanError(-1105, "use a higher-level Command() call for compound commands");
    if (c == ' ' && text.empty()) continue;
    text += c;
    if (text.size() == 2 && (text == "DL" || text == "ED" || text == "QD"))
      throw OrvanError(-1106, text + " illegal in Command() call");
  }
  const protocol::ReplyModes modes = protocol::ReplyModesOf(text);
  text += kCarriageReturn;
  if (owed->left != OwedReply::Left::Nothing) SettleOwedReply(timeout);
  Write(text.data(), text.size(), timeout, false);

  protocol::ReplyEnd replyEnd(modes);
  std::string reply;
  for (;;) {
    size_t count = 0;
    try {
      count = Read(readBuffer.data(), readBuffer.size(), !modes.binary, timeout);
    } catch (const OrvanError& e) {
      Owe(modes, replyEnd);
      throw OrvanError(e.Code(), reply);
    }
    count = std::min(count, readBuffer.size());
    if (count == 0) {
      // With no time to wait, an empty read is the timeout; repeating it would spin.
      if (timeout == 0) {
        Owe(modes, replyEnd);
        throw OrvanError(-1100, reply);
      }
      continue;
    }
    replyEnd.StartRead(count);

    size_t end = 0;  // one past the reply's last byte in this read, 0 while it goes on
    for (size_t i = 0; i < count && end == 0; ++i) {
      const uint8_t byte = static_cast<uint8_t>(readBuffer[i]);
      switch (replyEnd.Next(byte)) {
        case protocol::ReplyByte::Outside:
          QueueUnsolicited(byte);
          break;
        case protocol::ReplyByte::Kept:
          reply += static_cast<char>(byte);
          break;
        case protocol::ReplyByte::Ends:
          reply += static_cast<char>(byte);
          end = i + 1;
          break;
        case protocol::ReplyByte::ControllerError:
          promptState = false;
          if (throwOnError) throw OrvanError(-10000);
          return "?";
      }
    }

    if (end != 0) {
      for (size_t i = end; i < count; ++i) QueueUnsolicited(static_cast<uint8_t>(readBuffer[i]));
      promptState = !reply.empty() && reply.back() == '>';
      if (!trim) return reply;
      if (modes.binary) {
        // Record bytes may equal any trim character; only the prompt after them goes.
        if (!reply.empty() && reply.back() == ':') reply.pop_back();
        return reply;
      }
      return TrimText(reply);
    }
    if (replyEnd.Overlong()) {
      Owe(modes, replyEnd);
      throw OrvanError(-10004, "reply exceeds " + std::to_string(kReplyLimit) + " bytes");
    }
  }
}

void OrvanDevice::Owe(const protocol::ReplyModes& modes, const protocol::ReplyEnd& end) {
  *owed = {OwedReply::Left::ToItsEnd, modes, end};
}

void OrvanDevice::OwedReplyWithdrawn() {
  if (owed->left == OwedReply::Left::ToItsEnd) owed->left = OwedReply::Left::Arrived;
}

void OrvanDevice::SettleOwedReply(int32_t timeout) {
  OwedReply settling = std::exchange(*owed, OwedReply{});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  bool ended = settling.left != OwedReply::Left::ToItsEnd;

  // Read as the engine read the reply; once it has ended only bit-7 bytes are kept, for the
  // message queue.
  const auto readSome = [&](int32_t wait) {
    const bool separate = ended || !settling.modes.binary;
    return std::min(Read(readBuffer.data(), readBuffer.size(), separate, wait), readBuffer.size());
  };
  const auto drop = [&](size_t count) {
    if (count == 0) return;
    if (!ended) settling.end.StartRead(count);
    for (size_t i = 0; i < count; ++i) {
      const uint8_t byte = static_cast<uint8_t>(readBuffer[i]);
      if (ended) {
        if (byte & 0x80) QueueUnsolicited(byte);
        continue;
      }
      switch (settling.end.Next(byte)) {
        case protocol::ReplyByte::Outside:
          QueueUnsolicited(byte);
          break;
        case protocol::ReplyByte::Ends:
        case protocol::ReplyByte::ControllerError:
          ended = true;
          break;
        case protocol::ReplyByte::Kept:
          break;
      }
    }
  };

  // What has arrived: taken without waiting for more.
  while (std::chrono::steady_clock::now() < deadline) {
    const int32_t waiting = BytesAvailable();
    if (waiting == 0) break;
    size_t count = 0;
    try {
      count = readSome(0);
    } catch (const OrvanError& e) {
      if (e.Code() == -1100) break;
      throw;
    }
    if (count == 0 && waiting < 0) break;
    drop(count);
  }
  // The rest of the reply, up to its end.
  while (!ended) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) throw OrvanError(-1100, kOwedReplyUnended);
    try {
      drop(readSome(static_cast<int32_t>(left)));
    } catch (const OrvanError& e) {
      if (e.Code() == -1100) throw OrvanError(-1100, kOwedReplyUnended);
      throw;
    }
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
      if (timeout != 0 && MillisecondsSince(start) >= timeout) {
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
    if (MillisecondsSince(start) >= timeout) throw OrvanError(-1100);
  }
}

void OrvanDevice::SetRecordBuffer(const std::shared_ptr<OrvDataRecord>& record) {
  recordBuffer = record;
}

uint8_t OrvanDevice::Interrupt(int32_t) { throw OrvanError(-1109, "no interrupts on this bus"); }

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

void OrvanDevice::QueryRecord(int32_t timeout) {
  if (timeout <= 0) timeout = options->timeout;
  const std::string reply = Command("QR", true, timeout, true);
  std::memcpy(recordBuffer->bytes, reply.data(),
              std::min(reply.size(), sizeof recordBuffer->bytes));
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

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
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
