// A registration through the mDNS back end, its outcome mapped to the publisher's errors.
#include "zeroconf/service_publisher.hpp"

#include "platform/mdns.hpp"

ServicePublisher::ServicePublisher(std::string name, std::string serviceLabel,
                                   std::string serviceProtocol)
    : label(std::move(serviceLabel)), protocol(std::move(serviceProtocol)) {
  SetInstanceName(name);
}

ServicePublisher::~ServicePublisher() = default;

void ServicePublisher::SetInstanceName(const std::string& name) {
  instanceName = name;
  fullName = instanceName + "." + label + "." + protocol + ".local";
}

void ServicePublisher::Publish(const std::string& name, std::uint16_t port) {
  SetInstanceName(name);
  port_ = port;
  Register();
}

void ServicePublisher::Register() {
  Withdraw();
  registration = std::make_unique<platform::MdnsPublisher>();
  switch (registration->Publish(instanceName, label + "." + protocol, port_, kRegisterWait)) {
    case platform::MdnsPublishResult::Published:
      published = true;
      break;
    case platform::MdnsPublishResult::NoHostName:
      ReportError(1001, "Not enough host names to create service");
      break;
    case platform::MdnsPublishResult::NotCompleted:
      ReportError(1002, "Publish operation could not be completed");
      break;
    case platform::MdnsPublishResult::InvalidName:
      ReportError(1005, "Publish was not successful: Invalid Service Name");
      break;
    case platform::MdnsPublishResult::Collision:
    case platform::MdnsPublishResult::ServerError:
      ReportError(1004, "Publish was not successful: Server Error");
      break;
  }
}

void ServicePublisher::Withdraw() {
  published = false;
  registration.reset();
}

void ServicePublisher::ReportError(int code, const std::string& message) { error(code, message); }
