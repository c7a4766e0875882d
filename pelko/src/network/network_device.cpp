// Routing of the device operations to the two channels, and the set-up of the controller's
// message, record and interrupt streams after the open.
#include "network/network_device.hpp"

#include <exception>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "identify/description.hpp"
#include "network/tcp_device.hpp"
#include "network/udp_device.hpp"

namespace orvan {

NetworkDevice::NetworkDevice(boost::asio::io_context& io) : ioContext(&io) {}

NetworkDevice::~NetworkDevice() {
  try {
    if (commandChannel && commandChannel->IsOpen()) commandChannel->Close();
    if (unsolicitedChannel && unsolicitedChannel->IsOpen()) unsolicitedChannel->Close();
  } catch (...) {
    // Nobody to tell; the channels go either way.
  }
  if (description) description->identified = false;
  unsolicitedChannel.reset();
  commandChannel.reset();
}

std::shared_ptr<OrvanDevice> NetworkDevice::MakeChannel(int32_t type) {
  if (type == kChannelTcp) return std::make_shared<TcpDevice>(*ioContext);
  if (type == kChannelUdp) return std::make_shared<UdpDevice>(*ioContext);
  return nullptr;
}

void NetworkDevice::Open(const std::shared_ptr<OrvanOptions>& opened) {
  if (IsOpen()) Close();
  try {
    commandChannel = MakeChannel(opened->commandType);
    unsolicitedChannel = MakeChannel(opened->unsolicitedType);
    if (commandChannel) {
      commandChannel->SetCallback(progressCallback, callbackUser);
      commandChannel->Open(opened);
      description = commandChannel->description;
      // Identification and records exchange on the channel itself, over the same stream.
      ShareOwedReply(*commandChannel);
      busType = commandChannel->BusType();
    }
    options = opened;
    if (unsolicitedChannel) {
      unsolicitedChannel->SetOption(kOptionUnsolicitedPort, 1);
      try {
        unsolicitedChannel->Open(opened);
      } catch (const OrvanError&) {
        // Without the second channel the connection still serves commands.
        unsolicitedChannel.reset();
      }
    }
  } catch (const std::exception& e) {
    throw OrvanError(-1101, e.what());
  }
  // A UDP command channel opens only once the controller has answered its handshake.
  answered = busType == kBusUdp;
  try {
    Initialize();
  } catch (const OrvanError&) {
    // Only silence escapes the set-up: nothing of such a connection stays open.
    Close();
    throw;
  }
}

bool NetworkDevice::IsOpen() { return commandChannel && commandChannel->IsOpen(); }

void NetworkDevice::Close() {
  if (commandChannel && commandChannel->IsOpen()) commandChannel->Close();
  if (unsolicitedChannel && unsolicitedChannel->IsOpen()) unsolicitedChannel->Close();
  if (description) description->identified = false;
}

void NetworkDevice::Initialize() {
  try {
    OrvanDevice::Initialize();
    if (!unsolicitedChannel) return;
    auto send = [this](const char* command) {
      unsolicitedChannel->Command(command, false, options->timeout, false);
    };
    if (options->subscribeMG) send("CFI");
    if (options->unsolicitedType != kChannelUdp) return;
    if (options->subscribeDR) send("DR,_WH");
    if (options->subscribeEI && description &&
        description->Identify(DescribedDevice()).interruptsSupported) {
      send("EI,,_WH");
    }
  } catch (const OrvanError&) {
    // A controller that refuses set-up or a stream still serves commands; one that has not
    // answered a single byte is not there to serve anything.
    if (!answered) throw OrvanError(-1101, "the controller did not answer");
  }
}

size_t NetworkDevice::Read(char* buffer, uint64_t length, bool separateUnsolicited,
                           int32_t timeout) {
  // Keeps records, interrupts and messages flowing while only commands are sent.
  if (unsolicitedChannel) unsolicitedChannel->Message(nullptr, 0, 0);
  if (!commandChannel) throw OrvanError(-1102);
  const size_t count = commandChannel->Read(buffer, length, separateUnsolicited, timeout);
  if (count > 0) answered = true;
  return count;
}

int32_t NetworkDevice::BytesAvailable() {
  // The command engine and the check reads of downloads look here for the controller's
  // answer; the unsolicited channel's traffic is not theirs.
  return commandChannel ? commandChannel->BytesAvailable() : 0;
}

void NetworkDevice::Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) {
  if (!commandChannel) throw OrvanError(-1102);
  commandChannel->Write(buffer, length, timeout, progress);
}

size_t NetworkDevice::Message(char* buffer, uint64_t length, int32_t timeout) {
  // Bytes that replies on the command side set aside come first, then the channel's own.
  uint64_t delivered = TakeUnsolicited(buffer, length);
  if (commandChannel && unsolicitedChannel) {
    delivered += commandChannel->TakeUnsolicited(buffer + delivered, length - delivered);
  }
  const auto& channel = unsolicitedChannel ? unsolicitedChannel : commandChannel;
  if (!channel) return delivered;
  if (delivered == 0) return channel->Message(buffer, length, timeout);
  if (delivered < length) delivered += channel->Message(buffer + delivered, length - delivered, 0);
  return delivered;
}

void NetworkDevice::SetRecordBuffer(const std::shared_ptr<OrvDataRecord>& record) {
  recordBuffer = record;
  if (unsolicitedChannel) unsolicitedChannel->SetRecordBuffer(record);
  if (commandChannel) commandChannel->SetRecordBuffer(record);
}

int32_t NetworkDevice::Record(bool async, int32_t timeout) {
  if (async && unsolicitedChannel) return unsolicitedChannel->Record(true, timeout);
  if (!commandChannel) throw OrvanError(-1102);
  return commandChannel->Record(async, timeout);
}

uint8_t NetworkDevice::Interrupt(int32_t timeout) {
  if (unsolicitedChannel) return unsolicitedChannel->Interrupt(timeout);
  if (!commandChannel) throw OrvanError(-1102);
  return commandChannel->Interrupt(timeout);
}

void NetworkDevice::FirmwareDownload(const std::string& path, Connection& connection) {
  if (!commandChannel) throw OrvanError(-1102);
  // A failed load reopens the channel with a description of its own; follow it either way.
  try {
    commandChannel->FirmwareDownload(path, connection);
  } catch (...) {
    description = commandChannel->description;
    throw;
  }
  description = commandChannel->description;
}

OrvanDevice& NetworkDevice::DescribedDevice() { return commandChannel ? *commandChannel : *this; }

void NetworkDevice::SetCallback(OrvProgressCallback callback, void* user) {
  OrvanDevice::SetCallback(callback, user);
  if (commandChannel) commandChannel->SetCallback(callback, user);
}

}  // namespace orvan
