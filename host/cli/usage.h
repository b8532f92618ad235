// lodra-gif's usage text, as --help prints it: what the program does, the
// option list made from the option table (host/cli/options.h), the exit
// statuses and examples. The man page (help2man) and the Windows archive's
// README.txt are made from what --help prints.
#pragma once

#include <string>

namespace lodra_gif {

std::string UsageText();
// The option list alone, as UsageText has it: each option's names, then its
// text from column 22 on.
std::string OptionsHelp();

}  // namespace lodra_gif
