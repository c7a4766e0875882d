// Reaches the words Boost fills into an option error.
#include "protocol/option_error_text.hpp"

#include <boost/program_options/errors.hpp>

#include <algorithm>

namespace orvan::protocol {
namespace {

namespace po = boost::program_options;

// The words are protected; a derived class may name them.
struct Substitutions : po::error_with_option_name {
  static auto& Of(po::error_with_option_name& error) {
    return error.*(&Substitutions::m_substitutions);
  }
};

}  // namespace

std::string OptionErrorText::Of(const std::exception& error) {
  const auto* named = dynamic_cast<const po::error_with_option_name*>(&error);
  if (!named) return error.what();
  auto copy = *named;
  for (auto& substitution : Substitutions::Of(copy)) {
    std::replace(substitution.second.begin(), substitution.second.end(), '%', '?');
  }
  return copy.what();
}

}  // namespace orvan::protocol
