// The driver of the commands that turn each contract into a new text
// (normalize, fmt): print it, list the files that differ (--check), show
// how (--diff), or rewrite them (-w), on -j N files at a time.
#ifndef QEL_CLI_TEXT_COMMAND_H_
#define QEL_CLI_TEXT_COMMAND_H_

#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "qel/error.h"
#include "qel/format.h"

namespace qel::cli {

// A pure function of the text: it runs on several threads at once. Its
// result has passed the safety net, or says why not (Rewrite::fault).
using TextTransform = Rewrite (*)(std::string_view text);

// Runs the command `name` (for messages) with the arguments `args`.
int run_text_command(std::string_view name, TextTransform transform,
                     const std::vector<std::string>& args, Io& io);

}  // namespace qel::cli

#endif  // QEL_CLI_TEXT_COMMAND_H_
