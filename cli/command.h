// What every command shares: its arguments, reading its inputs, reporting
// errors. Each command lives in a file of its own (cmd_*.cpp).
#ifndef QEL_CLI_COMMAND_H_
#define QEL_CLI_COMMAND_H_

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli.h"
#include "files.h"
#include "qel/error.h"

namespace qel::cli {

// Prints "qel: MESSAGE (see 'qel help')" on standard error; returns 2.
int usage_error(Io& io, const std::string& message);

// --format (human, json or github) and --color (auto, always or never), as
// the reporting commands take them: true when `name` is one of the two,
// with `why` set to a usage error when the value is not one they take.
bool output_option(std::string_view command, const std::string& name,
                   const std::string& value, std::string& format,
                   std::string& color, std::string& why);

// A command's arguments split into options and operands. "--" ends the
// options and "-" alone is an operand. An option named in `with_value`
// takes a value, as "--name VALUE" or "--name=VALUE" (a one-letter option
// also as "-nVALUE"); others take none.
struct Args {
  std::vector<std::pair<std::string, std::string>> options;  // name, value
  std::vector<std::string> operands;
  std::string error;  // a usage error; empty when the arguments parse

  static Args parse(const std::vector<std::string>& args,
                    std::initializer_list<std::string_view> with_value);
};

struct Input {
  std::string path;  // as given; "-" is standard input
  std::string text;
  std::string real_path;  // for a rewrite: the file that is replaced
  FileStamp stamp;        // for a rewrite: the file as it was read
};

// Reads inputs one at a time, so that only one file is held in memory.
// Standard input is read once, however often "-" is named. A UTF-8 byte
// order mark at the start is not part of a text: it is dropped, and
// positions count as if it were absent.
class InputReader {
 public:
  explicit InputReader(Io& io) : io_(io) {}

  // Reads `path` whole into `in`; false with `why` set, after saying it on
  // standard error. With `for_rewrite`, the file is first checked to be one
  // that may be rewritten, and nothing is read when it is not.
  bool read(const std::string& path, Input& in, std::string& why,
            bool for_rewrite = false);
  bool read(const std::string& path, Input& in, bool for_rewrite = false) {
    std::string why;
    return read(path, in, why, for_rewrite);
  }

 private:
  Io& io_;
  std::optional<std::string> stdin_text_;
  std::optional<std::string> stdin_error_;
};

// Prints an error of the file `path` (whose text is `text`) on standard
// error in the diagnostic format of `qel check`.
// `qel help CODE` or `qel help rules [--format json]` (args[1] is the
// topic); false when the topic is neither, `status` then unset.
bool help_topic(const std::vector<std::string>& args, Io& io, int& status);

void report_error(Io& io, const std::string& path, std::string_view text,
                  const Error& error);

int cmd_check(const std::vector<std::string>& args, Io& io);
int cmd_normalize(const std::vector<std::string>& args, Io& io);
int cmd_fmt(const std::vector<std::string>& args, Io& io);
int cmd_hash(const std::vector<std::string>& args, Io& io);
int cmd_parse(const std::vector<std::string>& args, Io& io);
int cmd_run(const std::vector<std::string>& args, Io& io);
int cmd_diff(const std::vector<std::string>& args, Io& io);

}  // namespace qel::cli

#endif  // QEL_CLI_COMMAND_H_
