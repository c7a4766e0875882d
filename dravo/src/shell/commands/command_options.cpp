// Building and parsing the shell commands' option tables.
#include "shell/commands/command_options.hpp"

namespace shell_options {

namespace {

constexpr const char* kHelpText = "Print help, all other options ignored.";

}  // namespace

po::options_description Table(const std::string& caption) {
  po::options_description table(caption, po::options_description::m_default_line_length,
                                po::options_description::m_default_line_length / 2);
  table.add_options()("help", kHelpText);
  return table;
}

po::variables_map Parse(const std::vector<std::string>& args, const po::options_description& table,
                        Positional positional, bool allowUnregistered) {
  po::command_line_parser parser(args);
  parser.options(table);
  po::positional_options_description positions;
  if (positional.name) {
    positions.add(positional.name, -1);
    parser.positional(positions);
  }
  if (allowUnregistered) parser.allow_unregistered();
  po::variables_map map;
  po::store(parser.run(), map);
  po::notify(map);
  return map;
}

}  // namespace shell_options
