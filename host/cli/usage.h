// lodra-gif's usage text, as --help prints it: what the program does, the
// option list made from the option table (host/cli/options.h), the exit
// statuses and examples. The man page (help2man) and the Windows archive's
// README.txt are made from what --help prints.
#pragma once

#include <string>

namespace lodra_gif {

std::string UsageText();

}  // namespace lodra_gif
