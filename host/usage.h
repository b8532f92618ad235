// lodra-gif's usage text, as --help prints it. It is kept in host/usage.txt,
// the one copy the man page and the release archive's README are made from
// too; the build turns it into this string.
#pragma once

namespace lodra_gif {

extern const char kUsageText[];

}  // namespace lodra_gif
