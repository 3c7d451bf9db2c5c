// qel normalize: the canonical text; --check lists the files that are not
// canonical, --diff shows how, -w rewrites them.
#include "command.h"
#include "qel/canonical.h"
#include "text_command.h"

namespace qel::cli {

int cmd_normalize(const std::vector<std::string>& args, Io& io) {
  return run_text_command(
      "normalize", [](std::string_view text) { return normalize(text); }, args,
      io);
}

}  // namespace qel::cli
