// Request construction and its operation-code queue.
#include "request.hpp"

#include <algorithm>
#include <cstring>

Request::Request(const std::uint8_t* data, std::size_t count, std::weak_ptr<Requestor> issuer)
    : requestor(std::move(issuer)) {
  length = std::min(count, kCapacity);
  if (length > 0) std::memcpy(bytes.data(), data, length);
}

std::shared_ptr<Request> Request::RequestWithOp(int code, std::weak_ptr<Requestor> issuer) {
  auto request = std::make_shared<Request>(nullptr, 0, std::move(issuer));
  request->PushOp(code);
  return request;
}

std::shared_ptr<Request> Request::RequestWithControl(std::uint32_t parameter, std::uint32_t value,
                                                     std::weak_ptr<Requestor> issuer) {
  auto request = RequestWithOp(kSetControl, std::move(issuer));
  request->controlParameter = parameter;
  request->controlValue = value;
  return request;
}

void Request::PushOp(int code) { operations.push_back(code); }

int Request::PopOp() {
  if (operations.empty()) return 0;
  const int code = operations.front();
  operations.pop_front();
  return code;
}

void Request::Withdraw() {
  length = 0;
  requestor.reset();
}
