// Turns the operands of a command into the files it works on: a directory
// stands for the `*.qel` files below it.
#ifndef QEL_CLI_WALK_H_
#define QEL_CLI_WALK_H_

#include <string>
#include <vector>

namespace qel::cli {

class ConfigFinder;

struct Operand {
  std::string path;
  std::string error;  // why a directory could not be read; empty if fine
};

// Each operand as given, except that a directory is replaced by the `*.qel`
// files below it, in byte order of their paths. Hidden files and
// directories (names starting with '.') are passed over and symbolic links
// to directories are not followed, so a walk always ends. A file named
// explicitly is kept whatever its name; "-" stays standard input.
// What a walk passes over for a reason the user may want to know (a `*.qel`
// that is a FIFO, a device or a socket, a dangling link, an entry that
// cannot be looked at) is appended to `warnings` as one line each,
// "qel: skipping 'PATH': REASON", with the path escaped for printing.
// With `configs`, a walk passes over the files and directories that their
// project configuration excludes; a file named explicitly is still kept.
// With `refuse_empty`, a directory with no `*.qel` file below it stays,
// with its error saying so, as one that cannot be read (for a diff against
// a revision, an emptied directory is a list of removed contracts).
std::vector<Operand> expand_operands(const std::vector<std::string>& operands,
                                     std::string& warnings,
                                     ConfigFinder* configs = nullptr,
                                     bool refuse_empty = false);

}  // namespace qel::cli

#endif  // QEL_CLI_WALK_H_
