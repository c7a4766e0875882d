// What a client connection hands to a resource: up to 449 command bytes for the controller
// and operation codes for the resource (join or leave its subscriber sets, set an option).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "protocol/shell_wire.hpp"

class ResourceClient;

class Request {
public:
  static constexpr size_t kMaxLength = orvan::protocol::kRequestSize;

  // Operation codes the resource applies.
  static constexpr int kJoinLinked = 1;
  static constexpr int kLeaveLinked = 2;
  static constexpr int kJoinMessages = 3;
  static constexpr int kLeaveMessages = 4;
  static constexpr int kJoinRecords = 5;
  static constexpr int kLeaveRecords = 6;
  static constexpr int kJoinInterrupts = 7;
  static constexpr int kLeaveInterrupts = 8;
  static constexpr int kSetControl = 9;
  // Control parameters of kSetControl.
  static constexpr uint32_t kControlBaud = 2;
  static constexpr uint32_t kControlStopBits = 3;

  // Copies at most kMaxLength bytes; no operation codes.
  Request(const uint8_t* bytes, size_t length, std::weak_ptr<ResourceClient> requestor);
  static std::shared_ptr<Request> RequestWithOp(int code, std::weak_ptr<ResourceClient> requestor);
  static std::shared_ptr<Request> RequestWithControl(uint32_t parameter, uint32_t value,
                                                     std::weak_ptr<ResourceClient> requestor);

  void PushOp(int code) { operationCodes.push_back(code); }
  // The first operation code, removed; 0 when none is left.
  int PopOp();

  // The connection no longer wants this request served (its client gave up on the reply):
  // it carries no bytes and no requestor any more, so a resource skips it as it skips the
  // requests of a connection that has gone.
  void Withdraw();

  std::array<uint8_t, kMaxLength> commandBytes{};
  uint64_t length = 0;
  std::weak_ptr<ResourceClient>
      requestor;  // weak, so a queued request keeps no closed client alive
  std::deque<int> operationCodes;
  uint32_t controlParameter = 0;
  uint32_t controlValue = 0;
};
