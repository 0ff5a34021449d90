// Splitting a command line into arguments by the rules Windows programs use,
// so that a command line stored in the configuration or handed to a service
// object by a plugin means the same program and arguments as it always has.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace holm::platform {

// Splits `line` into arguments:
// - Leading spaces and tabs are skipped. The first argument is the program:
//   if it starts with a double quote it runs to the next double quote (the
//   quotes are removed, backslashes are kept as they stand), otherwise to the
//   next space or tab.
// - Every later argument is separated by spaces or tabs outside quotes. A
//   double quote switches quoting on or off and is removed; inside quotes a
//   doubled double quote ("") gives one literal double quote and quoting
//   stays on.
// - 2n backslashes before a double quote give n backslashes, and the quote
//   switches quoting; 2n+1 backslashes before a double quote give n
//   backslashes and a literal double quote. Backslashes anywhere else are
//   literal.
// - An argument written as "" is an empty argument. A quote left open at the
//   end of the line closes there: unbalanced quotes never fail, they make the
//   last argument run to the end of the line.
// An empty or blank line gives no arguments.
std::vector<std::u16string> splitCommandLine(std::u16string_view line);

// The same in UTF-8 (the splitting rules only look at ASCII characters).
std::vector<std::string> splitCommandLine(std::string_view line);

// What follows the program name in `line` (as splitCommandLine finds it),
// without the blanks between: the arguments exactly as written.
std::u16string_view commandLineArgumentText(std::u16string_view line);

}  // namespace holm::platform
