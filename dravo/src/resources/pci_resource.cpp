// The card's transport of a resource: reads and writes go to the shared PCI workers, and the
// status byte of each read sorts what it brought.
#include "resources/pci_resource.hpp"

#include "resources/basic_pci_implementation.hpp"
#include "resources/basic_pci_service.hpp"

namespace {

constexpr uint8_t kRecordWaiting = 0xBC;

bool CarriesBytes(uint8_t status) { return status == 0x00 || status == 0xBA || status == 0xBB; }

}  // namespace

PciResource::PciResource(boost::asio::io_context& context, ResourceTable& table,
                         uint32_t resourceId)
    : Resource(context, table, resourceId),
      service(boost::asio::use_service<BasicPciService>(context)),
      implementation(std::make_shared<BasicPciImplementation>()) {
  service.Adopt(implementation);
}

PciResource::~PciResource() = default;

bool PciResource::Matches(const OpenParameters& parameters) const {
  return parameters.kind == orvan::protocol::kKindPci && Resource::Matches(parameters);
}

void PciResource::Open(const OpenParameters& parameters) {
  Resource::Open(parameters);
  const auto error = implementation->Open(address);
  ReportOpened(error);
  if (!error) StartRead();
}

void PciResource::Close(std::shared_ptr<Resource>) { implementation->Close(); }

void PciResource::Write(const uint8_t* bytes, size_t length) {
  service.AsyncWrite(implementation, bytes, length,
                     [self = shared_from_this(), this](const boost::system::error_code& error,
                                                       size_t count) { OnWrite(error, count); });
}

void PciResource::StartRead() {
  status = 0;
  service.AsyncRead(implementation, readBuffer.data(), readBuffer.size(), &status,
                    [self = shared_from_this(), this](const boost::system::error_code& error,
                                                      size_t count) { OnCardRead(error, count); });
}

void PciResource::OnCardRead(const boost::system::error_code& error, size_t count) {
  if (error) {
    OnRead(error, 0);  // ends the resource and every subscriber, as the other transports do
    return;
  }
  if (released || failed) return;
  if (status == kRecordWaiting) {
    if (count > 0) BroadcastRecord(readBuffer.data(), count);
  } else if (!CarriesBytes(status)) {
    BroadcastInterrupt(&status, 1);
  } else if (count > 0) {
    ProcessInput(count);
  }
  if (!released && !failed) StartRead();
}
