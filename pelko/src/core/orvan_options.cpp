// Open-string parsing with Boost.ProgramOptions, and the small number conversions other code
// shares.
#include "core/orvan_options.hpp"

#include <boost/algorithm/string.hpp>
#include <boost/program_options.hpp>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>
#include <type_traits>

#include "core/orvan_error.hpp"
#include "protocol/option_error_text.hpp"

namespace orvan {
namespace po = boost::program_options;

namespace {

// A numeric option value, converted by us: the stock conversion wraps "-5" into a huge unsigned
// number and overflows inside for 16-bit types. A value out of the type's range is malformed.
template <typename T>
struct Number {
  T value{};
};

template <typename T>
bool ConvertNumber(const std::string& text, T& out) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return false;
  if (std::is_unsigned_v<T> && !std::isdigit(static_cast<unsigned char>(text.front())))
    return false;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno == ERANGE || *end != '\0') return false;
  if (value < static_cast<long long>(std::numeric_limits<T>::min()) ||
      value > static_cast<long long>(std::numeric_limits<T>::max()))
    return false;
  out = static_cast<T>(value);
  return true;
}

template <typename T>
void validate(boost::any& stored, const std::vector<std::string>& tokens, Number<T>*, int) {
  po::validators::check_first_occurrence(stored);
  const std::string& text = po::validators::get_single_string(tokens);
  Number<T> number;
  if (!ConvertNumber(text, number.value)) throw po::invalid_option_value(text);
  stored = number;
}

template <typename T>
void validate(boost::any& stored, const std::vector<std::string>& tokens, std::vector<Number<T>>*,
              int) {
  if (stored.empty()) stored = std::vector<Number<T>>();
  boost::any one;
  validate(one, tokens, static_cast<Number<T>*>(nullptr), 0);
  boost::any_cast<std::vector<Number<T>>&>(stored).push_back(boost::any_cast<Number<T>>(one));
}

template <typename T>
po::typed_value<Number<T>>* NumberInto(T& field) {
  return po::value<Number<T>>()->notifier([&field](const Number<T>& n) { field = n.value; });
}

bool EqualsNoCase(const std::string& text, const char* word) { return boost::iequals(text, word); }

po::options_description AddressOptions(OrvanOptions& o) {
  po::options_description desc("Address options");
  desc.add_options()("address,a", po::value<std::vector<std::string>>(), "Address for connection")(
      "baud,b", NumberInto(o.baud), "Baud rate for serial connections")(
      "command,c", po::value<std::vector<std::string>>(),
      "Command-and-response connection type (UDP,TCP)")("direct,d", po::bool_switch(),
                                                        "Connect directly to the hardware")(
      "handshake", po::value<std::string>(), "Handshake mode for serial (HARDWARE,NONE)")(
      "p1", NumberInto(o.commandPort), "Command-and-response port")(
      "p2", NumberInto(o.unsolicitedPort), "Unsolicited port")(
      "dravo,g", po::value<std::string>(&o.serverAddress),
      "specify a dravo server address and optionally a port")("p3", NumberInto(o.serverPort),
                                                              "specify a dravo server port")(
      "subscribe,s", po::value<std::vector<std::string>>(), "Subscribe to data streams (MG,DR,EI)")(
      "timeout,t", po::value<std::vector<Number<uint16_t>>>(), "Timeout in seconds")(
      "unsolicited,u", po::value<std::string>(), "Unsolicited connection type (UDP,TCP,NONE)")(
      "osq", po::bool_switch(),
      "Operating System Supports 'Q0' for loading firmware at double baud")(
      "debug", NumberInto(o.debug), "Allows setting of a value for various uses in debug");
  return desc;
}

void ApplyLists(const po::variables_map& vm, OrvanOptions& o) {
  if (vm.count("address")) {
    for (const auto& value : vm["address"].as<std::vector<std::string>>()) {
      if (!value.empty()) {
        o.address = value;
        break;
      }
    }
  }
  if (vm.count("command")) {
    for (const auto& value : vm["command"].as<std::vector<std::string>>()) {
      if (EqualsNoCase(value, "udp")) {
        o.commandType = kChannelUdp;
        continue;
      }
      o.commandType = kChannelTcp;
      break;
    }
  }
  if (vm.count("unsolicited")) {
    const auto& value = vm["unsolicited"].as<std::string>();
    o.unsolicitedType = EqualsNoCase(value, "udp")   ? kChannelUdp
                        : EqualsNoCase(value, "tcp") ? kChannelTcp
                                                     : kChannelNone;
  }
  if (vm.count("handshake"))
    o.handshakeNone = EqualsNoCase(vm["handshake"].as<std::string>(), "none");
  if (vm.count("subscribe")) {
    for (const auto& value : vm["subscribe"].as<std::vector<std::string>>()) {
      if (EqualsNoCase(value, "all")) {
        o.subscribeMG = o.subscribeDR = o.subscribeEI = true;
      } else if (EqualsNoCase(value, "mg")) {
        o.subscribeMG = true;
      } else if (EqualsNoCase(value, "dr")) {
        o.subscribeDR = true;
      } else if (EqualsNoCase(value, "ei")) {
        o.subscribeEI = true;
      } else if (EqualsNoCase(value, "none")) {
        o.subscribeMG = o.subscribeDR = o.subscribeEI = false;
        break;
      }
    }
  }
  if (vm.count("dravo")) {
    const auto colon = o.serverAddress.find(':');
    if (!o.serverAddress.empty() && colon != std::string::npos) {
      const std::string portText = o.serverAddress.substr(colon + 1);
      o.serverAddress.erase(colon);
      if (!portText.empty()) {
        const uint32_t port = ParseUnsigned(portText, protocol::kServerPort);
        // A port that does not fit 16 bits would silently become another port.
        if (port > std::numeric_limits<uint16_t>::max())
          throw OrvanError(-10006, "dravo port out of range: " + portText);
        o.serverPort = static_cast<uint16_t>(port);
      }
    }
  }
  if (vm["direct"].as<bool>()) o.direct = true;
  if (vm.count("timeout"))
    o.timeout = vm["timeout"].as<std::vector<Number<uint16_t>>>().back().value;
  if (vm["osq"].as<bool>()) o.osq = true;
}

}  // namespace

int32_t OrvanOptions::AddressKind() const {
  if (address.empty()) throw OrvanError(-10006, "zero length address");
  if (address.find("COM") != std::string::npos) return kAddressSerial;
  if (address.find("RUREZIVU") != std::string::npos) return kAddressPci;
  if (address.find("/dev/tty") != std::string::npos) return kAddressSerial;
  if (address.find("/dev/rurezivu") != std::string::npos) return kAddressPci;
  return kAddressNetwork;
}

void ParseOpenAddress(const std::string& open, const std::shared_ptr<OrvanOptions>& options) {
  std::vector<std::string> tokens;
  boost::algorithm::split(tokens, open, boost::is_any_of(" "), boost::token_compress_on);
  ParseOpenOptions(tokens, options);
}

void ParseOpenOptions(const std::vector<std::string>& tokens,
                      const std::shared_ptr<OrvanOptions>& options) {
  OrvanOptions& o = *options;
  try {
    const po::options_description desc = AddressOptions(o);
    po::positional_options_description bare;
    bare.add("address", -1);
    po::variables_map vm;
    po::store(po::command_line_parser(tokens).options(desc).positional(bare).run(), vm);
    po::notify(vm);
    ApplyLists(vm, o);
  } catch (const std::exception& e) {
    throw OrvanError(-10006, protocol::OptionErrorText::Of(e));
  }
}

uint32_t ParseUnsigned(const std::string& text, uint32_t fallback) {
  const auto dollar = text.find('$');
  const std::string digits = dollar == std::string::npos ? text : text.substr(dollar + 1);
  const int base = dollar == std::string::npos ? 10 : 16;
  if (digits.empty() || std::isspace(static_cast<unsigned char>(digits.front()))) return fallback;
  if (base == 16 && (digits.front() == '-' || digits.front() == '+')) return fallback;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(digits.c_str(), &end, base);
  if (errno == ERANGE || *end != '\0') return fallback;
  if (value < 0 || value > static_cast<long long>(std::numeric_limits<uint32_t>::max()))
    return fallback;
  return static_cast<uint32_t>(value);
}

double ParseFloat(const std::string& text, double fallback) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return fallback;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (*end != '\0' || (errno == ERANGE && std::isinf(value))) return fallback;
  return value;
}

std::string NumberToString(int64_t value, const std::string& fallback) {
  try {
    return std::to_string(value);
  } catch (...) {
    return fallback;
  }
}

}  // namespace orvan
