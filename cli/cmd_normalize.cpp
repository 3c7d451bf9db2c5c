// qel normalize: the canonical text; --check lists the files that are not
// canonical, --diff shows how, -w rewrites them.
#include "command.h"
#include "qel/format.h"
#include "text_command.h"

namespace qel::cli {

int cmd_normalize(const std::vector<std::string>& args, Io& io) {
  return run_text_command("normalize", normalize_checked, args, io);
}

}  // namespace qel::cli
