// The connection handle behind the C interface, the one rule by which text results are copied
// out to callers, and the process-wide default server that new handles start from.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/connection.hpp"
#include "pelko.h"
#include "protocol/shell_wire.hpp"

// Global namespace: the public header declares it as a plain C struct.
struct OrvCon {
  // Passes the progress callback to the device; -1102 without one.
  void SetCallback(OrvProgressCallback callback, void* user);

  orvan::Connection connection;
  std::shared_ptr<OrvDataRecord> record;
  // Milliseconds handed to the device; above 32767 it reads as negative, the options timeout.
  int16_t timeout = -1;
  int32_t lastRecord = 0;
  std::string lastError;
};

namespace orvan {

// Copies at most length bytes and stores that count (count may be null). A text shorter than
// the buffer gets a NUL and 0; otherwise with truncate the last copied byte becomes the NUL and
// 0, without it -10004. Truncating into a buffer of length 0 writes nothing and gives -10002.
int32_t CopyStringOut(const std::string& text, char* buffer, uint32_t length, uint32_t* count,
                      bool truncate);

struct DefaultServer {
  std::string address = "127.0.0.1";
  uint16_t port = protocol::kServerPort;
};

// The server every new handle starts from; read and written under a lock.
DefaultServer GetDefaultServer();
void SetDefaultServer(const std::string& address, uint16_t port);

}  // namespace orvan
