// qel fmt: the contract in the house layout, order and comments kept;
// --check lists the files that are not formatted, --diff shows how, -w
// rewrites them.
#include "command.h"
#include "qel/format.h"
#include "text_command.h"

namespace qel::cli {

int cmd_fmt(const std::vector<std::string>& args, Io& io) {
  return run_text_command("fmt", format_checked, args, io);
}

}  // namespace qel::cli
