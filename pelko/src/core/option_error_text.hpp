// The text of an option-parsing error. Boost fills '%'-placeholders into its message by
// searching it again after each fill, so a word that itself holds "%value%" would make it
// loop for ever; the words enter the text with '%' replaced.
#pragma once

#include <boost/program_options/errors.hpp>

#include <algorithm>
#include <exception>
#include <string>

namespace orvan {

struct OptionErrorText : boost::program_options::error_with_option_name {
  static std::string Of(const std::exception& error) {
    auto* named = dynamic_cast<const boost::program_options::error_with_option_name*>(&error);
    if (!named) return error.what();
    auto copy = *named;
    for (auto& substitution : copy.*(&OptionErrorText::m_substitutions)) {
      std::replace(substitution.second.begin(), substitution.second.end(), '%', '?');
    }
    return copy.what();
  }
};

}  // namespace orvan
