// Shell requests on the command channel and the sub-channels, and the open and link of a
// resource with its retries while the server opens it in the background.
#include "server_client/client_device.hpp"

#include "core/orvan_error.hpp"
#include "server_client/shell_exchange.hpp"

namespace orvan {
namespace {

constexpr int kLinkTries = 6;
constexpr uint32_t kFirstLinkPause = 8;

}  // namespace

std::string ClientDevice::Shell(const std::string& text, bool restore) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  const int32_t timeout = options->timeout;
  return ExchangeShellCommand(
      command.mode, text, restore, [&](const std::string& bytes) { SendCommand(bytes, timeout); },
      [&](char* buffer, size_t length) { return ReceiveCommand(buffer, length, false, timeout); });
}

bool ClientDevice::TryShell(const std::string& text) {
  try {
    Shell(text, true);
    return true;
  } catch (const OrvanError&) {
    return false;
  }
}

void ClientDevice::ShellQuietly(const std::string& text) { TryShell(text); }

std::string ClientDevice::SubChannelShell(SubChannel& channel, const std::string& text) {
  const int32_t timeout = options->timeout;
  return ExchangeShellCommand(
      channel.mode, text, true, [&](const std::string& bytes) { SendSub(channel, bytes); },
      [&](char* buffer, size_t length) {
        ReceiveSub(channel, timeout);
        return channel.link->received.CopyOut(*this, buffer, length, false);
      });
}

bool ClientDevice::TrySubChannelShell(SubChannel& channel, const std::string& text) {
  try {
    SubChannelShell(channel, text);
    return true;
  } catch (const OrvanError&) {
    return false;
  }
}

void ClientDevice::LinkCommandChannel(const std::string& address) {
  Shell("o " + address, true);
  uint32_t pause = kFirstLinkPause;
  for (int attempt = 0; attempt < kLinkTries; ++attempt, pause *= 2) {
    if (TryShell("l " + address)) {
      if (command.mode != kModeCooked) SetCommandChannelMode(kModeCooked);
      return;
    }
    // The server opens a resource in the background; give it time before the next try.
    WaitMilliseconds(pause);
  }
  throw OrvanError(-1101, "unable to make link on dravo");
}

void ClientDevice::LinkSubChannel(SubChannel& channel, const std::string& address) {
  SubChannelShell(channel, "o " + address);
  uint32_t pause = kFirstLinkPause;
  for (int attempt = 0; attempt < kLinkTries; ++attempt, pause *= 2) {
    if (TrySubChannelShell(channel, "l " + address)) {
      if (channel.mode != kModeShell) {
        SendSub(channel, Escape(protocol::kEscapeShell));
        channel.mode = kModeShell;
      }
      return;
    }
    WaitMilliseconds(pause);
  }
  throw OrvanError(-1101, "unable to make link on dravo");
}

}  // namespace orvan
