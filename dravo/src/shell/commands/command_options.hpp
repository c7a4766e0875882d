// The option tables the shell commands parse their words with.
#pragma once

#include <boost/program_options.hpp>

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

}  // namespace shell_options
