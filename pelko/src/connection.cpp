// Device creation and the multi-exchange operations of a handle.
#include "connection.hpp"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include <mutex>
#include <vector>

#include "network_device.hpp"
#include "orvan_device.hpp"
#include "orvan_error.hpp"
#include "orvan_options.hpp"

namespace orvan {
namespace {

std::mutex& MakerLock() {
  static std::mutex lock;
  return lock;
}

Connection::DeviceMaker& Maker() {
  static Connection::DeviceMaker maker;
  return maker;
}

}  // namespace

Connection::~Connection() {
  try {
    if (device && device->IsOpen()) device->Close();
  } catch (...) {
    // A destructor has no one to report to; the device is dropped either way.
  }
  device.reset();
  options.reset();
}

Connection::DeviceMaker Connection::SetDeviceMaker(DeviceMaker maker) {
  std::lock_guard<std::mutex> guard(MakerLock());
  std::swap(Maker(), maker);
  return maker;
}

std::shared_ptr<OrvanDevice> Connection::CreateDevice(const OrvanOptions& opened) {
  DeviceMaker maker;
  {
    std::lock_guard<std::mutex> guard(MakerLock());
    maker = Maker();
  }
  if (maker) return maker(opened, ioContext);

  // Each transport adds its kind here as it is built.
  if (opened.direct) {
    switch (opened.AddressKind()) {
      case kAddressNetwork:
        return std::make_shared<NetworkDevice>(ioContext);
      case kAddressPci:
      case kAddressSerial:
      default:
        break;
    }
  }
  throw OrvanError(-1101, "device failed to open");
}

void Connection::Open(const std::shared_ptr<OrvanOptions>& opened) {
  if (device) {
    if (device->IsOpen()) device->Close();
    device.reset();
  }
  device = CreateDevice(*opened);
  if (!device) throw OrvanError(-1101, "device failed to open");
  device->Open(opened);
  options = opened;
}

std::string Connection::Command(const std::string& list, bool trim, int32_t timeout) {
  if (!device) throw OrvanError(-1102);
  // A run of separators is one, yet a separator at either end still yields an empty part,
  // which sends a lone CR.
  std::vector<std::string> parts;
  boost::algorithm::split(parts, list, boost::is_any_of(";\r"), boost::token_compress_on);
  std::string result;
  for (const auto& part : parts) {
    try {
      result += device->Command(part, trim, timeout, true);
    } catch (const OrvanError& e) {
      if (result.empty()) throw;
      throw OrvanError(e.Code(), "Error at " + part + "\n" + result + e.Message());
    }
  }
  return result;
}

std::shared_ptr<Description> Connection::GetDescription() {
  if (!device) throw OrvanError(-1102);
  return device->description;
}

}  // namespace orvan
