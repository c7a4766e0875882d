// Building requests and taking their operation codes.
#include "shell/request.hpp"

#include <algorithm>
#include <cstring>

Request::Request(const uint8_t* bytes, size_t count, std::weak_ptr<ResourceClient> issuer)
    : length(std::min(count, kMaxLength)), requestor(std::move(issuer)) {
  if (length > 0) std::memcpy(commandBytes.data(), bytes, length);
}

std::shared_ptr<Request> Request::RequestWithOp(int code, std::weak_ptr<ResourceClient> issuer) {
  auto request = std::make_shared<Request>(nullptr, 0, std::move(issuer));
  request->PushOp(code);
  return request;
}

std::shared_ptr<Request> Request::RequestWithControl(uint32_t parameter, uint32_t value,
                                                     std::weak_ptr<ResourceClient> issuer) {
  auto request = RequestWithOp(kSetControl, std::move(issuer));
  request->controlParameter = parameter;
  request->controlValue = value;
  return request;
}

int Request::PopOp() {
  if (operationCodes.empty()) return 0;
  const int code = operationCodes.front();
  operationCodes.pop_front();
  return code;
}

void Request::Withdraw() {
  length = 0;
  requestor.reset();
}
