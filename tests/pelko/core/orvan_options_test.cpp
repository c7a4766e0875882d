#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"

using namespace orvan;

namespace {

// Every field, so a row that changes more than it says fails.
void ExpectSame(const OrvanOptions& got, const OrvanOptions& want, const std::string& open) {
  SCOPED_TRACE("open string: \"" + open + "\"");
  EXPECT_EQ(got.address, want.address);
  EXPECT_EQ(got.commandPort, want.commandPort);
  EXPECT_EQ(got.commandType, want.commandType);
  EXPECT_EQ(got.unsolicitedPort, want.unsolicitedPort);
  EXPECT_EQ(got.unsolicitedType, want.unsolicitedType);
  EXPECT_EQ(got.serverAddress, want.serverAddress);
  EXPECT_EQ(got.serverPort, want.serverPort);
  EXPECT_EQ(got.timeout, want.timeout);
  EXPECT_EQ(got.handshakeNone, want.handshakeNone);
  EXPECT_EQ(got.baud, want.baud);
  EXPECT_EQ(got.subscribeMG, want.subscribeMG);
  EXPECT_EQ(got.subscribeEI, want.subscribeEI);
  EXPECT_EQ(got.subscribeDR, want.subscribeDR);
  EXPECT_EQ(got.direct, want.direct);
  EXPECT_EQ(got.osq, want.osq);
  EXPECT_EQ(got.debug, want.debug);
}

struct OpenCase {
  const char* open;
  std::function<void(OrvanOptions&)> expect;  // applied to the defaults
};

const OpenCase kParsed[] = {
    {"10.0.0.5", [](OrvanOptions& o) { o.address = "10.0.0.5"; }},
    {"10.0.0.5 -d",
     [](OrvanOptions& o) {
       o.address = "10.0.0.5";
       o.direct = true;
     }},
    {"--address 10.0.0.5 --direct",
     [](OrvanOptions& o) {
       o.address = "10.0.0.5";
       o.direct = true;
     }},
    {"-a10.0.0.5", [](OrvanOptions& o) { o.address = "10.0.0.5"; }},
    {"--address=10.0.0.5", [](OrvanOptions& o) { o.address = "10.0.0.5"; }},
    // Long names may be shortened to any unambiguous prefix.
    {"--addr 10.0.0.5 --dir --time 300",
     [](OrvanOptions& o) {
       o.address = "10.0.0.5";
       o.direct = true;
       o.timeout = 300;
     }},
    {"first second", [](OrvanOptions& o) { o.address = "first"; }},
    {" 10.0.0.5", [](OrvanOptions& o) { o.address = "10.0.0.5"; }},
    {"10.0.0.5    -d",
     [](OrvanOptions& o) {
       o.address = "10.0.0.5";
       o.direct = true;
     }},
    {"", [](OrvanOptions&) {}},
    {"COM3 -b 9600 --handshake NONE",
     [](OrvanOptions& o) {
       o.address = "COM3";
       o.baud = 9600;
       o.handshakeNone = true;
     }},
    {"COM3 --handshake hardware", [](OrvanOptions& o) { o.address = "COM3"; }},
    {"x --p1 5000 --p2 5001",
     [](OrvanOptions& o) {
       o.address = "x";
       o.commandPort = 5000;
       o.unsolicitedPort = 5001;
     }},
    // command: udp values are passed over, the first other value means TCP.
    {"x -c tcp -c udp",
     [](OrvanOptions& o) {
       o.address = "x";
       o.commandType = kChannelTcp;
     }},
    {"x -c udp -c udp",
     [](OrvanOptions& o) {
       o.address = "x";
       o.commandType = kChannelUdp;
     }},
    {"x -c UDP",
     [](OrvanOptions& o) {
       o.address = "x";
       o.commandType = kChannelUdp;
     }},
    {"x -c foo",
     [](OrvanOptions& o) {
       o.address = "x";
       o.commandType = kChannelTcp;
     }},
    {"x -u TCP",
     [](OrvanOptions& o) {
       o.address = "x";
       o.unsolicitedType = kChannelTcp;
     }},
    {"x -u udp",
     [](OrvanOptions& o) {
       o.address = "x";
       o.unsolicitedType = kChannelUdp;
     }},
    {"x -u none",
     [](OrvanOptions& o) {
       o.address = "x";
       o.unsolicitedType = kChannelNone;
     }},
    {"x -u bogus",
     [](OrvanOptions& o) {
       o.address = "x";
       o.unsolicitedType = kChannelNone;
     }},
    {"x -s MG -s dr",
     [](OrvanOptions& o) {
       o.address = "x";
       o.subscribeMG = o.subscribeDR = true;
     }},
    {"x -s all",
     [](OrvanOptions& o) {
       o.address = "x";
       o.subscribeMG = o.subscribeDR = o.subscribeEI = true;
     }},
    {"x -s mg -s none -s dr", [](OrvanOptions& o) { o.address = "x"; }},
    {"x -s ei -s zz",
     [](OrvanOptions& o) {
       o.address = "x";
       o.subscribeEI = true;
     }},
    {"x -t 100 -t 2000",
     [](OrvanOptions& o) {
       o.address = "x";
       o.timeout = 2000;
     }},
    {"x -t 0",
     [](OrvanOptions& o) {
       o.address = "x";
       o.timeout = 0;
     }},
    {"x --osq --debug -3",
     [](OrvanOptions& o) {
       o.address = "x";
       o.osq = true;
       o.debug = -3;
     }},
    // dravo: a port after the colon wins over p3; an empty one keeps p3.
    {"x -g 192.168.1.9:5000 --p3 24",
     [](OrvanOptions& o) {
       o.address = "x";
       o.serverAddress = "192.168.1.9";
       o.serverPort = 5000;
     }},
    {"x --p3 24 -g 192.168.1.9:",
     [](OrvanOptions& o) {
       o.address = "x";
       o.serverAddress = "192.168.1.9";
       o.serverPort = 24;
     }},
    {"x -g 192.168.1.9:",
     [](OrvanOptions& o) {
       o.address = "x";
       o.serverAddress = "192.168.1.9";
     }},
    {"x -g host:$1F",
     [](OrvanOptions& o) {
       o.address = "x";
       o.serverAddress = "host";
       o.serverPort = 31;
     }},
    {"x -g host:junk",
     [](OrvanOptions& o) {
       o.address = "x";
       o.serverAddress = "host";
       o.serverPort = 23;
     }},
    {"x --dravo server.example",
     [](OrvanOptions& o) {
       o.address = "x";
       o.serverAddress = "server.example";
     }},
};

TEST(ParseOpenAddress, TableOfOpenStrings) {
  for (const auto& row : kParsed) {
    auto options = std::make_shared<OrvanOptions>();
    OrvanOptions want;
    row.expect(want);
    try {
      ParseOpenAddress(row.open, options);
    } catch (const OrvanError& e) {
      ADD_FAILURE() << "\"" << row.open << "\" failed: " << e.Message();
      continue;
    }
    ExpectSame(*options, want, row.open);
  }
}

TEST(ParseOpenAddress, BadStringsAreBadAddress) {
  const char* bad[] = {
      "x --bogus",   // unknown option
      "x -t",        // missing value
      "x -t abc",    // malformed value
      "x -t 70000",  // beyond 16 bits
      "x --p1 -1",   // a sign on an unsigned port
      "x -b -5",
      "x -b 1 -b 2",      // single-valued option given twice
      "x --p",            // ambiguous prefix (p1, p2, p3)
      "x -g host:70000",  // a dravo port that does not fit
      "x --debug 1 --debug 2",
  };
  for (const char* open : bad) {
    auto options = std::make_shared<OrvanOptions>();
    try {
      ParseOpenAddress(open, options);
      ADD_FAILURE() << "\"" << open << "\" parsed";
    } catch (const OrvanError& e) {
      EXPECT_EQ(e.Code(), -10006) << open;
      EXPECT_FALSE(e.Message().empty()) << open;
    }
  }
}

TEST(ParseOpenAddress, KeepsProcessDefaultsItDoesNotOverride) {
  auto options = std::make_shared<OrvanOptions>();
  options->serverAddress = "10.1.1.1";
  options->serverPort = 2323;
  ParseOpenAddress("x -d", options);
  EXPECT_EQ(options->serverAddress, "10.1.1.1");
  EXPECT_EQ(options->serverPort, 2323);
}

TEST(AddressKind, FromTheAddressText) {
  struct Row {
    const char* address;
    int32_t kind;
  };
  const Row rows[] = {
      {"COM3", kAddressSerial},
      {"plant.COM", kAddressSerial},
      {"/dev/ttyUSB0", kAddressSerial},
      {"/dev/ttyS1", kAddressSerial},
      {"RUREZIVU1", kAddressPci},
      {"/dev/rurezivu2", kAddressPci},
      {"10.0.0.5", kAddressNetwork},
      {"com3", kAddressNetwork},
      {"controller.local", kAddressNetwork},
  };
  for (const auto& row : rows) {
    OrvanOptions o;
    o.address = row.address;
    EXPECT_EQ(o.AddressKind(), row.kind) << row.address;
  }
  OrvanOptions empty;
  try {
    empty.AddressKind();
    ADD_FAILURE() << "empty address has a kind";
  } catch (const OrvanError& e) {
    EXPECT_EQ(e.Code(), -10006);
    EXPECT_EQ(e.Message(), "zero length address");
  }
}

TEST(NumberConversions, ParseUnsignedParseFloatNumberToString) {
  EXPECT_EQ(ParseUnsigned("1F", 7), 7u);
  EXPECT_EQ(ParseUnsigned("$1F", 7), 31u);
  EXPECT_EQ(ParseUnsigned("x$ff", 7), 255u);
  EXPECT_EQ(ParseUnsigned("42", 7), 42u);
  EXPECT_EQ(ParseUnsigned("4294967295", 7), 4294967295u);
  EXPECT_EQ(ParseUnsigned("4294967296", 7), 7u);
  EXPECT_EQ(ParseUnsigned("-1", 7), 7u);
  EXPECT_EQ(ParseUnsigned("", 7), 7u);
  EXPECT_EQ(ParseUnsigned("$", 7), 7u);
  EXPECT_EQ(ParseUnsigned("12abc", 7), 7u);
  EXPECT_EQ(ParseUnsigned("$zz", 7), 7u);

  EXPECT_DOUBLE_EQ(ParseFloat("2.5", 1.0), 2.5);
  EXPECT_DOUBLE_EQ(ParseFloat("-1e3", 1.0), -1000.0);
  EXPECT_DOUBLE_EQ(ParseFloat("abc", 1.0), 1.0);
  EXPECT_DOUBLE_EQ(ParseFloat("1e999", 1.0), 1.0);
  EXPECT_DOUBLE_EQ(ParseFloat("", 1.0), 1.0);

  EXPECT_EQ(NumberToString(-1234, "?"), "-1234");
  EXPECT_EQ(NumberToString(std::numeric_limits<int64_t>::min(), "?"), "-9223372036854775808");
}

}  // namespace

namespace {
// The parser's message substitution would loop for ever on a value holding its placeholder.
TEST(ParseOpenAddress, PlaceholderTextInAValueStillFails) {
  auto options = std::make_shared<OrvanOptions>();
  try {
    ParseOpenAddress("x -t %value%", options);
    ADD_FAILURE() << "parsed";
  } catch (const OrvanError& e) {
    EXPECT_EQ(e.Code(), -10006);
  }
}
}  // namespace
