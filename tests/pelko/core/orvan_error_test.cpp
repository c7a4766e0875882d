#include <gtest/gtest.h>

#include <type_traits>

#include "core/orvan_error.hpp"

using orvan::ErrorCodeText;
using orvan::OrvanError;

namespace {

struct CodeText {
  int32_t code;
  const char* text;
};

constexpr CodeText kTable[] = {
    {0, "no error"},
    {-1100, "device timed out"},
    {-1101, "device failed to open"},
    {-1102, "device not open"},
    {-1103, "device read error"},
    {-1104, "device write error"},
    {-1105, "compound command not valid at device layer"},
    {-1106, "illegal command passed to command call"},
    {-1107, "data record error"},
    {-1109, "function not supported on this communication bus"},
    {-1110, "firmware cannot be loaded on this communication bus to this hardware"},
    {-1111, "controller is in monitor"},
    {-1200, "array not dimensioned on controller or wrong size"},
    {-1201, "connection to hardware not established"},
    {-1202, "illegal ASCII character in program"},
    {-1203, "program cannot be compressed to fit on the controller"},
    {-1204, "preprocessor did not recognize options"},
    {-1300, "hardware describe failed"},
    {-1301, "hardware description data invalid"},
    {-1302, "Version of override file is incompatible with this binary"},
    {-10000, "question mark returned by controller"},
    {-10001, "weak pointer conversion failed"},
    {-10002, "value passed to function was bad or out of range"},
    {-10003, "operation could not complete because of a memory error"},
    {-10004, "data was lost due to buffer or fifo limitations"},
    {-10005, "file was not found, contents are invalid, or write failed"},
    {-10006, "a bad address was specified in open"},
    {-10007, "An OS API call returned an error"},
    {-20000, "dravo open error"},
    {-20001, "dravo shell error"},
    {-20002, "no dravo subscription for this stream"},
    // Codes without a row format their number.
    {-1108, "error code: -1108"},
    {-20003, "error code: -20003"},
    {5, "error code: 5"},
    {-2147483647 - 1, "error code: -2147483648"},
};

TEST(ErrorCodeText, EveryCodeOfTheTable) {
  for (const auto& row : kTable) EXPECT_EQ(ErrorCodeText(row.code), row.text) << row.code;
}

TEST(OrvanError, CarriesCodeAndMessageApartFromCodeText) {
  const OrvanError empty(-1100);
  EXPECT_EQ(empty.Code(), -1100);
  EXPECT_EQ(empty.Message(), "");
  EXPECT_EQ(empty.CodeText(), "device timed out");

  const OrvanError controller(-10000, "?TC1 reply");
  EXPECT_EQ(controller.Message(), "?TC1 reply");
  EXPECT_EQ(controller.CodeText(), "question mark returned by controller");
}

TEST(OrvanError, IsNotAStandardException) {
  static_assert(!std::is_base_of_v<std::exception, OrvanError>);
  bool caughtAsStd = false;
  try {
    try {
      throw OrvanError(-1101, "x");
    } catch (const std::exception&) {
      caughtAsStd = true;
    }
  } catch (const OrvanError& e) {
    EXPECT_EQ(e.Code(), -1101);
  }
  EXPECT_FALSE(caughtAsStd);
}

}  // namespace
