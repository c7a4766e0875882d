// The option tables the shell commands parse their words with, and the text an option error
// gives the client.
#pragma once

#include <boost/program_options.hpp>

#include <algorithm>
#include <string>
#include <vector>

namespace shell_options {

namespace po = boost::program_options;

// A command's option table: the caption, the common help option, the library's layout.
po::options_description Table(const std::string& caption);

struct Positional {
  const char* name = nullptr;
};

// Parses the words after the command word into the table's variables.
po::variables_map Parse(const std::vector<std::string>& args, const po::options_description& table,
                        Positional positional = {}, bool allowUnregistered = true);

// Boost fills placeholders into its error text until none is left, so a client's word that
// holds a placeholder would make it loop for ever: client words enter the text without '%'.
struct OptionErrorText : po::error_with_option_name {
  static std::string Of(po::error_with_option_name& error) {
    auto& substitutions = error.*(&OptionErrorText::m_substitutions);
    for (auto& substitution : substitutions) {
      std::replace(substitution.second.begin(), substitution.second.end(), '%', '?');
    }
    return error.what();
  }
};

}  // namespace shell_options
