// Makes a given number of "SH" round trips and nothing else, so that a run under callgrind
// counts what one round trip costs (bench/instructions.sh subtracts two runs of different
// lengths, which cancels start-up and handshake):
//   round_trip_count server N   OrvCommand through the server at 127.0.0.1:23
//   round_trip_count relay N    a plain OpenSSL client through a TLS relay at 127.0.0.1:4433
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pelko.h"
#include "tls_relay_client.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: round_trip_count server|relay N\n");
    return 2;
  }
  const std::string mode = argv[1];
  const long count = std::atol(argv[2]);
  if (mode == "server") {
    OrvCon* handle = nullptr;
    if (OrvOpen("127.0.0.2 -t 60000", &handle) != 0) {
      std::fprintf(stderr, "round_trip_count: open through the server failed\n");
      return 1;
    }
    char reply[64];
    for (long i = 0; i < count; ++i) {
      if (OrvCommand(handle, "SH", reply, sizeof reply, nullptr) != 0) {
        std::fprintf(stderr, "round_trip_count: command %ld failed\n", i);
        OrvClose(handle);
        return 1;
      }
    }
    OrvClose(handle);
    return 0;
  }
  if (mode == "relay") {
    bench::TlsRelayClient client("127.0.0.1", 4433);
    if (!client.Ready()) {
      std::fprintf(stderr, "round_trip_count: relay handshake failed\n");
      return 1;
    }
    for (long i = 0; i < count; ++i) {
      if (!client.RoundTrip("SH\r")) {
        std::fprintf(stderr, "round_trip_count: relay round trip %ld failed\n", i);
        return 1;
      }
    }
    return 0;
  }
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
