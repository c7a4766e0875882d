// The parsed open string: where the controller is, how to reach it, what to subscribe.
// Shared by the handle and its device; the parser is pure so tests and fuzzers drive it directly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/shell_wire.hpp"

namespace orvan {

// Values of OrvanOptions::AddressKind.
constexpr int32_t kAddressPci = 0;
constexpr int32_t kAddressNetwork = 1;
constexpr int32_t kAddressSerial = 2;

// Channel types of commandType and unsolicitedType.
constexpr int32_t kChannelNone = 0;
constexpr int32_t kChannelUdp = 1;
constexpr int32_t kChannelTcp = 2;

struct OrvanOptions {
  std::string address;
  uint16_t commandPort = protocol::kControllerCommandPort;
  int32_t commandType = kChannelTcp;
  uint16_t unsolicitedPort = protocol::kControllerUnsolicitedPort;
  int32_t unsolicitedType = kChannelUdp;
  std::string serverAddress = "127.0.0.1";
  uint16_t serverPort = protocol::kServerPort;
  uint16_t timeout = 5000;
  bool handshakeNone = false;
  uint32_t baud = 115200;
  bool subscribeMG = false;
  bool subscribeEI = false;
  bool subscribeDR = false;
  bool direct = false;
  bool osq = false;
  int32_t debug = 0;

  // PCI, network or serial, from the address text; -10006 for an empty address.
  int32_t AddressKind() const;
};

// Splits the open string at blanks and parses the tokens into options.
void ParseOpenAddress(const std::string& open, const std::shared_ptr<OrvanOptions>& options);
// Parses tokens into options; any parse failure is OrvanError -10006 with the parser's text.
void ParseOpenOptions(const std::vector<std::string>& tokens,
                      const std::shared_ptr<OrvanOptions>& options);

// Hexadecimal after a '$', else signed decimal; the fallback when it does not convert or fit.
uint32_t ParseUnsigned(const std::string& text, uint32_t fallback);
// A floating-point number; the fallback on failure or overflow.
double ParseFloat(const std::string& text, double fallback);
std::string NumberToString(int64_t value, const std::string& fallback);

}  // namespace orvan
