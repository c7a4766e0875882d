// The text of an option-parsing error, as the library's open options and program directives and
// the server's shell commands report it. Boost fills '%'-placeholders into its message by
// searching it again after each fill, so a word that itself holds "%value%" would make it loop
// for ever; the words enter the text with '%' replaced.
#pragma once

#include <exception>
#include <string>

namespace orvan::protocol {

struct OptionErrorText {
  // The message of any exception; an option error's with its words made safe.
  static std::string Of(const std::exception& error);
};

}  // namespace orvan::protocol
