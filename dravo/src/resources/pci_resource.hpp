// A controller card on the host's bus, reached through its driver: the blocking driver
// requests run on the PCI workers that all cards of the server share, and each read tells by
// its status byte whether it brought controller bytes, a data record or an interrupt.
#pragma once

#include "resources/resource.hpp"

#include <memory>

class BasicPciImplementation;
class BasicPciService;

class PciResource : public Resource {
public:
  PciResource(boost::asio::io_context& io, ResourceTable& table, uint32_t id);
  ~PciResource() override;
  uint32_t Kind() const override { return orvan::protocol::kKindPci; }
  // Opens and configures the card at once, then reads.
  void Open(const OpenParameters& parameters) override;
  bool Matches(const OpenParameters& parameters) const override;

protected:
  // Ends the request a worker waits on; its completion then arrives with an error.
  void Close(std::shared_ptr<Resource> self) override;
  void Write(const uint8_t* bytes, size_t length) override;
  void StartRead() override;

private:
  void OnCardRead(const boost::system::error_code& error, size_t count);

  BasicPciService& service;
  std::shared_ptr<BasicPciImplementation> implementation;
  uint8_t status = 0;  // the last read's status byte, written by the read worker
};
