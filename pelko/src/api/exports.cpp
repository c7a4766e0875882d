// The fifteen C functions of the library. Every one turns the library's failures into its
// return code: an OrvanError gives its code and leaves its message as the handle's last error,
// anything else gives -1. Functions whose work is not built yet answer -1109. OrvUtility hands
// its options to the dispatcher in utility/.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "api/orv_con.hpp"
#include "core/connection.hpp"
#include "core/orvan_device.hpp"
#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "pelko.h"
#include "utility/utility_dispatcher.hpp"

using orvan::OrvanDevice;
using orvan::OrvanError;

namespace {

constexpr int32_t kNothingNew = -4;
constexpr int32_t kBadValue = -10002;

// Runs the body and turns what it throws into the return code.
template <typename Body>
int32_t Guarded(OrvCon* handle, Body&& body) {
  try {
    return body();
  } catch (const OrvanError& e) {
    handle->lastError = e.Message();
    return e.Code();
  } catch (...) {
    return -1;
  }
}

// The common frame: a handle without a device is -1102 before anything else happens.
template <typename Body>
int32_t Framed(OrvCon* handle, Body&& body) {
  if (!handle) return kBadValue;
  return Guarded(handle, [&]() -> int32_t {
    if (!handle->connection.device) throw OrvanError(-1102);
    return body(*handle->connection.device);
  });
}

void Require(const void* pointer, const char* what) {
  if (!pointer) throw OrvanError(kBadValue, std::string(what) + " is null");
}

}  // namespace

extern "C" {

ORV_API int32_t OrvOpen(const char* address, OrvCon** out) {
  if (!out) return kBadValue;
  std::unique_ptr<OrvCon> handle(new (std::nothrow) OrvCon);
  if (!handle) return -10003;
  // Any failure frees the half-built handle; the caller's pointer is written only on success.
  try {
    auto options = std::make_shared<orvan::OrvanOptions>();
    const orvan::DefaultServer server = orvan::GetDefaultServer();
    options->serverAddress = server.address;
    options->serverPort = server.port;
    if (!address) throw OrvanError(-10006, "null address");
    orvan::ParseOpenAddress(address, options);
    handle->connection.Open(options);
    handle->record = std::make_shared<OrvDataRecord>();
    const auto& device = handle->connection.device;
    if (!device || !device->IsOpen()) throw OrvanError(-1102);
    device->SetRecordBuffer(handle->record);
    handle->timeout = static_cast<int16_t>(options->timeout);
    handle->lastRecord = 0;
    *out = handle.release();
    return 0;
  } catch (const OrvanError& e) {
    return e.Code();
  } catch (...) {
    return -1;
  }
}

ORV_API int32_t OrvClose(OrvCon* handle) {
  if (!handle) return 0;
  const int32_t result = Guarded(handle, [&]() -> int32_t {
    auto& device = handle->connection.device;
    if (device) {
      if (device->IsOpen()) device->Close();
      device.reset();
    }
    return 0;
  });
  // A failed close keeps the handle, so its last error can still be read.
  if (result == 0) delete handle;
  return result;
}

ORV_API int32_t OrvLost(OrvCon* handle) {
  if (!handle || !handle->connection.device) return 0;
  return handle->connection.device->lost ? -1 : 0;
}

ORV_API int32_t OrvRead(OrvCon* handle, char* buffer, uint32_t length, uint32_t* count) {
  return Framed(handle, [&](OrvanDevice& device) {
    if (length > 0) Require(buffer, "buffer");
    const size_t got = device.Read(buffer, length, false, handle->timeout);
    if (count) *count = static_cast<uint32_t>(got);
    return 0;
  });
}

ORV_API int32_t OrvWrite(OrvCon* handle, const char* buffer, uint32_t length) {
  return Framed(handle, [&](OrvanDevice& device) {
    if (length > 0) Require(buffer, "buffer");
    device.SetOption(orvan::kOptionPassThrough, 0);
    device.Write(buffer, length, handle->timeout, false);
    return 0;
  });
}

ORV_API int32_t OrvCommand(OrvCon* handle, const char* command, char* buffer, uint32_t length,
                           uint32_t* replyLength) {
  return Framed(handle, [&](OrvanDevice& device) {
    Require(command, "command");
    if (length > 0) Require(buffer, "buffer");
    device.SetOption(orvan::kOptionCommandMode, 0);
    const std::string reply = handle->connection.Command(command, false, handle->timeout);
    return orvan::CopyStringOut(reply, buffer, length, replyLength, false);
  });
}

ORV_API int32_t OrvProgramDownload(OrvCon* handle, const char* program, const char* options) {
  return Framed(handle, [&](OrvanDevice&) {
    handle->connection.ProgramDownload(program ? program : "", options ? options : "", "DL");
    return 0;
  });
}

ORV_API int32_t OrvProgramUpload(OrvCon* handle, char* buffer, uint32_t length) {
  return Framed(handle, [&](OrvanDevice& device) {
    if (length > 0) Require(buffer, "buffer");
    device.SetOption(orvan::kOptionCommandMode, 0);
    const std::string reply = handle->connection.Command("UL", true, -1);
    return orvan::CopyStringOut(reply, buffer, length, nullptr, false);
  });
}

ORV_API int32_t OrvArrayDownload(OrvCon* handle, const char* name, int32_t first, int32_t last,
                                 const char* values) {
  return Framed(handle, [&](OrvanDevice&) {
    Require(name, "array name");
    Require(values, "values");
    handle->connection.ArrayDownload(name, first, last, values);
    return 0;
  });
}

ORV_API int32_t OrvArrayUpload(OrvCon* handle, const char* name, int32_t first, int32_t last,
                               int32_t delimiter, char* buffer, uint32_t length) {
  return Framed(handle, [&](OrvanDevice& device) {
    Require(name, "array name");
    if (length > 0) Require(buffer, "buffer");
    device.SetOption(orvan::kOptionCommandMode, 0);
    const std::string reply = handle->connection.ArrayUpload(name, first, last, delimiter);
    return orvan::CopyStringOut(reply, buffer, length, nullptr, false);
  });
}

ORV_API int32_t OrvRecord(OrvCon* handle, OrvDataRecord* record, int32_t method) {
  return Framed(handle, [&](OrvanDevice& device) {
    device.SetOption(orvan::kOptionCommandMode, 0);
    if (!device.IsOpen()) throw OrvanError(-1102);
    Require(record, "record");
    const bool async = method != 0;
    const int32_t counter = device.Record(async, handle->timeout);
    // Only the asynchronous counter tells "nothing new"; a synchronous read fetched a record
    // even though it leaves the counter alone.
    if (async && handle->timeout == 0 && counter == handle->lastRecord) return kNothingNew;
    std::memcpy(record, handle->record.get(), sizeof(OrvDataRecord));
    handle->lastRecord = counter;
    return 0;
  });
}

ORV_API int32_t OrvMessage(OrvCon* handle, char* buffer, uint32_t length) {
  return Framed(handle, [&](OrvanDevice& device) {
    // The NUL needs one byte: a length of 0 leaves the caller's memory and the queue alone.
    if (length == 0) throw OrvanError(kBadValue, "buffer length 0");
    Require(buffer, "buffer");
    device.SetOption(orvan::kOptionCommandMode, 0);
    const size_t got =
        std::min<size_t>(device.Message(buffer, length - 1, handle->timeout), length - 1);
    buffer[got] = '\0';
    if (handle->timeout != 0) return 0;
    return got > 0 ? 0 : kNothingNew;
  });
}

ORV_API int32_t OrvInterrupt(OrvCon* handle, uint8_t* status) {
  return Framed(handle, [&](OrvanDevice& device) {
    Require(status, "status");
    device.SetOption(orvan::kOptionCommandMode, 0);
    const uint8_t byte = device.Interrupt(handle->timeout);
    *status = byte;
    if (handle->timeout != 0) return 0;
    return byte != 0 ? 0 : kNothingNew;
  });
}

ORV_API int32_t OrvFirmwareDownload(OrvCon* handle, const char* path) {
  return Framed(handle, [&](OrvanDevice& device) {
    if (!device.IsOpen()) throw OrvanError(-1102);
    Require(path, "path");
    device.FirmwareDownload(path, handle->connection);
    return 0;
  });
}

ORV_API int32_t OrvUtility(OrvCon* handle, int32_t option, void* data1, void* data2) {
  return orvan::DispatchUtility(handle, option, data1, data2);
}

}  // extern "C"
