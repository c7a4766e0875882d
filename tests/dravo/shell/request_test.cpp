// Request: bounded command bytes, operation-code queue, withdrawal.
#include "shell/request.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::shared_ptr<int> token = std::make_shared<int>(0);
std::shared_ptr<ResourceClient> Issuer() {
  return std::shared_ptr<ResourceClient>(token, static_cast<ResourceClient*>(nullptr));
}

TEST(RequestTest, KeepsAtMostItsCapacityOfCommandBytes) {
  for (const std::size_t length :
       {std::size_t{0}, std::size_t{1}, std::size_t{449}, std::size_t{450}, std::size_t{4000}}) {
    const std::string bytes(length, 'x');
    const Request request(reinterpret_cast<const std::uint8_t*>(bytes.data()), length, Issuer());
    EXPECT_EQ(request.length, std::min<std::size_t>(length, 449)) << length;
    EXPECT_TRUE(request.operationCodes.empty());
    EXPECT_FALSE(request.requestor.expired());
  }
}

TEST(RequestTest, OperationCodesComeOutFirstInFirstOut) {
  auto request = Request::RequestWithOp(Request::kLeaveLinked, Issuer());
  request->PushOp(Request::kLeaveMessages);
  request->PushOp(Request::kLeaveInterrupts);
  EXPECT_EQ(request->length, 0u);
  EXPECT_EQ(request->PopOp(), 2);
  EXPECT_EQ(request->PopOp(), 4);
  EXPECT_EQ(request->PopOp(), 8);
  EXPECT_EQ(request->PopOp(), 0);
  EXPECT_EQ(request->PopOp(), 0);
}

TEST(RequestTest, ControlRequestCarriesParameterAndValue) {
  auto request = Request::RequestWithControl(Request::kControlBaud, 9600, Issuer());
  EXPECT_EQ(request->controlParameter, 2u);
  EXPECT_EQ(request->controlValue, 9600u);
  EXPECT_EQ(request->PopOp(), 9);
  EXPECT_EQ(request->PopOp(), 0);
}

TEST(RequestTest, WithdrawnRequestHasNoBytesAndNoRequestor) {
  const std::string bytes = "TP\r";
  Request request(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), Issuer());
  request.Withdraw();
  EXPECT_EQ(request.length, 0u);
  EXPECT_TRUE(request.requestor.expired());
}

}  // namespace
