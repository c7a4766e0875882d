// The server-client device's life: construction, the open with its link and subscriptions,
// the set-up after it, the options, the keep-alive tick, and the close.
#include "server_client/client_device.hpp"

#include <utility>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "identify/description.hpp"
#include "protocol/resource_kind.hpp"
#include "server_client/tls_link.hpp"

namespace orvan {

ClientDevice::ClientDevice(boost::asio::io_context& io) : step(io), ioContext(&io) {}

ClientDevice::~ClientDevice() {
  keepAlive.Stop();
  boost::system::error_code ignored;
  for (SubChannel* channel : {&messages, &records, &interruptChannel}) {
    if (channel->link) channel->link->Reset();
  }
  if (command.link) command.link->stream.next_layer().close(ignored);
}

void ClientDevice::Open(const std::shared_ptr<OrvanOptions>& opened) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  try {
    if (opened) {
      options = opened;
      Connect(options->serverAddress, options->serverPort);
    } else {
      Connect("127.0.0.1", protocol::kServerPort);
    }
    addressKind = options->AddressKind();

    std::string commandAddress = " --address " + options->address;
    std::string streamAddress = commandAddress;
    if (addressKind == kAddressNetwork) {
      const std::string tcp = protocol::KindWord(protocol::kKindTcp);
      const std::string udp = protocol::KindWord(protocol::kKindUdp);
      commandAddress += " --port " + std::to_string(options->commandPort) + " --protocol " +
                        (options->commandType == kChannelTcp ? tcp : udp);
      streamAddress += " --port " + std::to_string(options->unsolicitedPort) + " --protocol " + udp;
    } else if (addressKind == kAddressSerial) {
      commandAddress += " --baud " + std::to_string(options->baud);
      if (options->handshakeNone) commandAddress += " --handshake none";
      streamAddress = commandAddress;
    }
    LinkCommandChannel(commandAddress);

    open = true;
    description = std::make_shared<Description>();
    Command("EO0", false, options->timeout, false);

    const std::pair<bool, std::pair<SubChannel*, char>> streams[] = {
        {options->subscribeMG, {&messages, protocol::kEscapeMessages}},
        {options->subscribeDR, {&records, protocol::kEscapeRecords}},
        {options->subscribeEI, {&interruptChannel, protocol::kEscapeInterrupts}},
    };
    for (const auto& [subscribed, stream] : streams) {
      if (!subscribed) continue;
      SubChannel& channel = *stream.first;
      OpenSubChannel(channel);
      LinkSubChannel(channel, streamAddress);
      SendSub(channel, Escape(stream.second));
    }

    Initialize();
    keepAlive.Start();
  } catch (const OrvanError& e) {
    open = false;
    connected = false;
    throw OrvanError(-1101, ErrorCodeText(e.Code()));
  } catch (const std::exception& e) {
    open = false;
    connected = false;
    throw OrvanError(-1101, e.what());
  }
}

void ClientDevice::Initialize() {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  OrvanDevice::Initialize();
  if (promptState) return;
  const bool network = addressKind == kAddressNetwork;
  if (addressKind == kAddressPci) Command("CW,,1", false, options->timeout, false);
  if (options->subscribeMG && addressKind != kAddressPci && messages.IsOpen()) {
    SubChannelCommand(messages, "CFI");
  }
  if (options->subscribeDR) {
    if (network && records.IsOpen()) SubChannelCommand(records, "DR,_WH");
    if (addressKind == kAddressPci) Command("DU1", false, options->timeout, false);
  }
  if (options->subscribeEI && network && interruptChannel.IsOpen()) {
    SubChannelCommand(interruptChannel, "EI,,_WH");
  }
}

void ClientDevice::SetOption(int32_t option, int32_t value) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  switch (option) {
    case kOptionPassThrough:
      if (value != 0) {
        Shell("l -m " + std::to_string(kModeRaw) + " --pass " + std::to_string(value), false);
        command.mode = kModeRaw;
        passRemaining = static_cast<uint32_t>(value);
      } else if (command.mode != kModeRaw) {
        SetCommandChannelMode(kModeRaw);
      }
      break;
    case kOptionCommandMode:
      if (command.mode != kModeCooked) SetCommandChannelMode(kModeCooked);
      break;
    case kOptionBaud:
      Shell("ctrl --baud " + std::to_string(value), true);
      break;
    case kOptionStopBits:
      Shell("ctrl --stopbits " + std::to_string(value), true);
      break;
    case kOptionPacing:
      pacing = value != 0;
      break;
    default:
      break;
  }
}

void ClientDevice::Close() {
  bool wasOpen = false;
  {
    std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
    wasOpen = open;
    if (wasOpen) {
      for (SubChannel* channel : {&messages, &records, &interruptChannel}) {
        if (!channel->IsOpen()) continue;
        ExitSubChannel(*channel);
        CloseSubChannel(*channel);
      }
      if (lost) {
        boost::system::error_code ignored;
        if (command.link) command.link->stream.next_layer().close(ignored);
        connected = false;
      } else {
        Disconnect();
      }
      open = false;
    }
  }
  // The keep-alive thread may be waiting for the lock released above.
  keepAlive.Stop();
  if (wasOpen) description.reset();
  // Completions of the closed sockets drain here.
  step.Poll();
  if (addressKind == kAddressSerial) WaitMilliseconds(100);
}

void ClientDevice::SendKeepAlives() {
  if (!open) return;
  const std::string keepAlive = Escape(protocol::kEscapeKeepAlive);
  try {
    // Inside a pass-counted run the escape would reach the controller as data.
    if (command.IsOpen() && !lost && passRemaining == 0) SendCommand(keepAlive, options->timeout);
  } catch (const OrvanError&) {
    // A lost channel is reported by the next operation.
  }
  for (SubChannel* channel : {&messages, &records, &interruptChannel}) {
    try {
      if (channel->IsOpen()) SendSub(*channel, keepAlive);
    } catch (const OrvanError&) {
      // As above.
    }
  }
}

}  // namespace orvan
