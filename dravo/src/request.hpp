// One unit of work a client connection hands to a hardware resource: command bytes to write,
// and/or operation codes that change the connection's subscriptions at that resource.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

class Requestor;

class Request {
 public:
  // A controller command, its CR included, never exceeds this.
  static constexpr std::size_t kCapacity = 449;

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
  static constexpr std::uint32_t kControlBaud = 2;
  static constexpr std::uint32_t kControlStopBits = 3;

  // Copies at most kCapacity bytes.
  Request(const std::uint8_t* bytes, std::size_t length, std::weak_ptr<Requestor> requestor);

  static std::shared_ptr<Request> RequestWithOp(int code, std::weak_ptr<Requestor> requestor);
  static std::shared_ptr<Request> RequestWithControl(std::uint32_t parameter, std::uint32_t value,
                                                     std::weak_ptr<Requestor> requestor);

  void PushOp(int code);
  // The first code, removed; 0 when none is left.
  int PopOp();

  // The connection no longer wants this request served (its client gave up on the reply):
  // it carries no bytes and no requestor any more, so a resource skips it as it skips the
  // requests of a connection that has gone.
  void Withdraw();

  std::array<std::uint8_t, kCapacity> bytes{};
  std::uint64_t length = 0;
  std::weak_ptr<Requestor> requestor;
  std::deque<int> operations;
  std::uint32_t controlParameter = 0;
  std::uint32_t controlValue = 0;
};
