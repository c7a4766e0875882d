// The text of option errors: Boost's own words, with the words a user typed made safe to fill in.
#include "protocol/option_error_text.hpp"

#include <gtest/gtest.h>

#include <boost/program_options.hpp>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace po = boost::program_options;
using orvan::protocol::OptionErrorText;

// The text of the error that parsing `args` against a small table raises.
std::string ErrorOf(const std::vector<std::string>& args) {
  po::options_description table;
  table.add_options()("count", po::value<int>(), "")("name", po::value<std::string>(), "");
  try {
    po::variables_map map;
    po::store(po::command_line_parser(args).options(table).run(), map);
    po::notify(map);
  } catch (const std::exception& e) {
    return OptionErrorText::Of(e);
  }
  return "no error";
}

TEST(OptionErrorTextTest, Texts) {
  struct Case {
    std::vector<std::string> args;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{"--count", "abc"}, "the argument ('abc') for option '--count' is invalid"},
      {{"--bogus"}, "unrecognised option '--bogus'"},
      // A placeholder in the user's words would be filled in again and again.
      {{"--count", "%value%"}, "the argument ('?value?') for option '--count' is invalid"},
      {{"--x%option%y"}, "unrecognised option '--x?option?y'"},
      {{"--count"}, "the required argument for option '--count' is missing"},
      {{"--count", "1", "--count", "2"}, "option '--count' cannot be specified more than once"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.args), c.text);
}

TEST(OptionErrorTextTest, OtherErrorsKeepTheirText) {
  EXPECT_EQ(OptionErrorText::Of(std::runtime_error("50% done")), "50% done");
  EXPECT_EQ(OptionErrorText::Of(po::too_many_positional_options_error()),
            po::too_many_positional_options_error().what());
}

}  // namespace
