// The utility options on an open handle: timeouts, connection information, the set-up again,
// the last error, the hardware description, the D1 download and the progress callback.
#include <string>

#include "api/orv_con.hpp"
#include "core/connection.hpp"
#include "core/orvan_device.hpp"
#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "identify/description.hpp"
#include "utility/utility_options.hpp"

namespace orvan {
namespace {

OrvanDevice& DeviceOf(OrvCon& handle) {
  if (!handle.connection.device) throw OrvanError(-1102);
  return *handle.connection.device;
}

}  // namespace

int32_t OpenedTimeout(const UtilityCall& call) {
  OrvanDevice& device = DeviceOf(*call.handle);
  const auto& opened =
      call.handle->connection.options ? call.handle->connection.options : device.options;
  *static_cast<uint16_t*>(call.data1) = opened->timeout;
  return 0;
}

int32_t ExchangeTimeout(const UtilityCall& call) {
  OrvCon& handle = *call.handle;
  // The new value is read before the old one is written, so one variable can swap them.
  const bool setting = call.data1 != nullptr;
  const int16_t next = setting ? *static_cast<const int16_t*>(call.data1) : 0;
  if (call.data2) *static_cast<int16_t*>(call.data2) = handle.timeout;
  if (setting) handle.timeout = next;
  return 0;
}

int32_t ConnectionInfo(const UtilityCall& call) {
  return TextOut(call, [&] { return call.handle->connection.Info(); });
}

int32_t InitializeAgain(const UtilityCall& call) {
  const auto& device = call.handle->connection.device;
  if (device && device->IsOpen()) device->Initialize();
  return 0;
}

int32_t TakeLastError(const UtilityCall& call) {
  OrvCon& handle = *call.handle;
  const int32_t code = TextOut(call, [&] { return handle.lastError; });
  // A text that could not be handed over stays for the next try.
  if (code == 0) handle.lastError.clear();
  return code;
}

int32_t DoNothing(const UtilityCall&) { return 0; }

int32_t DescribeHardware(const UtilityCall& call) {
  OrvanDevice& device = DeviceOf(*call.handle);
  const auto description = call.handle->connection.GetDescription();
  if (!description) throw OrvanError(-1300, "no hardware description");
  description->CopyTo(device.DescribedDevice(), *static_cast<OrvDescription*>(call.data1));
  return 0;
}

int32_t ProgramDownloadD1(const UtilityCall& call) {
  const std::string options = call.data2 ? static_cast<const char*>(call.data2) : "";
  call.handle->connection.ProgramDownload(TextIn(call), options, "D1");
  return 0;
}

int32_t SetProgressCallback(const UtilityCall& call) {
  call.handle->SetCallback(reinterpret_cast<OrvProgressCallback>(call.data1), call.data2);
  return 0;
}

}  // namespace orvan
