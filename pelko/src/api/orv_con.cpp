// The handle's own routines and the process-wide server setting.
#include "api/orv_con.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "core/orvan_device.hpp"
#include "core/orvan_error.hpp"

void OrvCon::SetCallback(OrvProgressCallback callback, void* user) {
  if (!connection.device) throw orvan::OrvanError(-1102);
  connection.device->SetCallback(callback, user);
}

namespace orvan {
namespace {

std::mutex& ServerLock() {
  static std::mutex lock;
  return lock;
}

DefaultServer& Server() {
  static DefaultServer server;
  return server;
}

}  // namespace

int32_t CopyStringOut(const std::string& text, char* buffer, uint32_t length, uint32_t* count,
                      bool truncate) {
  if (truncate && length == 0) return -10002;  // no room even for the NUL
  const size_t copied = std::min<size_t>(length, text.size());
  if (copied > 0) std::memcpy(buffer, text.data(), copied);
  if (count) *count = static_cast<uint32_t>(copied);
  if (text.size() < length) {
    buffer[copied] = '\0';
    return 0;
  }
  if (!truncate) return -10004;
  buffer[copied - 1] = '\0';
  return 0;
}

DefaultServer GetDefaultServer() {
  std::lock_guard<std::mutex> guard(ServerLock());
  return Server();
}

void SetDefaultServer(const std::string& address, uint16_t port) {
  std::lock_guard<std::mutex> guard(ServerLock());
  Server().address = address;
  Server().port = port;
}

}  // namespace orvan
