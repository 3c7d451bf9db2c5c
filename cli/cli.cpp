// The command table: help texts, options every command shares, dispatch.
#include "cli.h"

#include <cstdint>
#include <optional>
#include <string_view>

#include "command.h"
#include "lsp_server.h"
#include "qel/nearest_name.h"
#include "qel/rules.h"

namespace qel::cli {
namespace {

constexpr const char* kVersion = "qel 0.1.0";

constexpr const char* kHelp =
    "usage: qel [--max-input-size=N] <command> [options] FILE|DIR...\n"
    "\n"
    "Commands (FILE may be - for standard input; a DIR stands for the *.qel\n"
    "files below it, and what is not a regular file there is skipped with a\n"
    "warning; a DIR with none cannot be read; a FILE named must be a regular\n"
    "file or standard input):\n"
    "  check FILE|DIR...      parse, verify and lint; report every finding\n"
    "  normalize FILE|DIR...  print the canonical text (--check, --diff, -w)\n"
    "  fmt FILE|DIR...        print the text laid out in the house style,\n"
    "                         comments kept (--check, --diff, -w)\n"
    "  hash FILE|DIR...       print the semantic hash of each file\n"
    "  parse FILE             print the contract as JSON\n"
    "  run CONTRACT REQUESTS  execute the requests (JSON or JSON Lines) against\n"
    "                         the contract (--format, --state, --expect)\n"
    "  diff OLD NEW           what changed between two versions, and whether\n"
    "                         it breaks callers or stored states\n"
    "  lsp                    serve editors over the language server protocol\n"
    "  help [COMMAND]         show help\n"
    "  help CODE              what a rule finds, why it matters, an example\n"
    "  help rules             every rule code (--format json for tools)\n"
    "\n"
    "Options:\n"
    "  --version            print the version\n"
    "  -h, --help           show help for a command\n"
    "  --max-input-size=N   refuse inputs larger than N bytes (suffixes K, M,\n"
    "                       G for binary multiples; default 1G)\n"
    "\n"
    "Exit status: 0 success, 1 a contract or request problem, 2 usage error,\n"
    "a file that cannot be read or rewritten, or out of memory.\n";

constexpr const char* kCheckHelp =
    "usage: qel check [options] FILE|DIR...\n"
    "\n"
    "Parses, verifies and lints each contract and reports parse errors,\n"
    "verifier errors and warnings, and lints (warnings about what the run\n"
    "time ignores or cannot check) with their positions.\n"
    "  --format human    path:line:column: severity[CODE]: message, the source\n"
    "                    line with the range underlined, sorted by position;\n"
    "                    a summary line (default)\n"
    "  --format json     one JSON document with every file and finding\n"
    "  --format github   GitHub Actions annotations\n"
    "  --color WHEN      auto (default: when standard output is a terminal and\n"
    "                    NO_COLOR is not set), always or never\n"
    "  --select CODES    report only these rules (comma-separated codes, or\n"
    "                    prefixes such as L for every lint or V1 for the\n"
    "                    verifier's type rules); parse errors always show\n"
    "  --ignore CODES    do not report these rules\n"
    "  --strict          warnings fail the check too\n"
    "  --fix             apply the safe fixes and rewrite the files in place,\n"
    "                    atomically; then report what remains\n"
    "  --diff            print the safe fixes as a unified diff, writing\n"
    "                    nothing; exit 1 when there is any\n"
    "  -j N, --jobs N    check N files at a time (default: one per core); the\n"
    "                    output is the same for every N\n"
    "  --config FILE     read the configuration from FILE (a qel.toml, or a\n"
    "                    pyproject.toml with [tool.qel])\n"
    "  --isolated        read no configuration file\n"
    "Configuration: the nearest qel.toml, or pyproject.toml with [tool.qel],\n"
    "at or above each file gives select, ignore, strict, exclude (globs that\n"
    "a directory walk passes over) and per-file-ignores; a flag given on the\n"
    "command line replaces the file's value.\n"
    "Codes: P parse, V1xx type, V2xx invariant, V3xx determinism, V4xx\n"
    "coherence, L lints; 'qel help rules' lists them, 'qel help CODE'\n"
    "explains one. A comment '// qel: allow CODE' at the end of the line,\n"
    "or alone on the line above, silences that finding there.\n"
    "Exit status: 0 when every file is valid (warnings allowed unless\n"
    "--strict, which then says so on standard error), 1 when any file has\n"
    "an error or does not parse, 2 for usage errors, unreadable files or a\n"
    "directory without contracts.\n";

constexpr const char* kNormalizeHelp =
    "usage: qel normalize [--check] [--diff] [-w] [-j N] FILE|DIR...\n"
    "\n"
    "Prints the canonical text of each contract.\n"
    "  --check, -l     print the paths of the files that are not in canonical\n"
    "                  form, one per line; exit 1 when there is any\n"
    "  --diff, -d      print a unified diff from each file to its canonical\n"
    "                  text; exit 1 when any file differs\n"
    "  -w, --write     rewrite the files that differ, in place and atomically.\n"
    "                  The canonical form has no comments: -w deletes them.\n"
    "  -j N, --jobs N  work on N files at a time (default: one per core); the\n"
    "                  output is the same for every N\n"
    "  --config FILE   read exclude from FILE instead of the nearest\n"
    "                  qel.toml or pyproject.toml [tool.qel]\n"
    "  --isolated      read no configuration file\n"
    "A directory stands for the *.qel files below it, less those the\n"
    "configuration's exclude names; a file named explicitly is always read.\n";

constexpr const char* kFmtHelp =
    "usage: qel fmt [--check] [--diff] [-w] [-j N] FILE|DIR...\n"
    "\n"
    "Prints each contract laid out in the house style: the order as written,\n"
    "every comment kept, only indentation, line breaks, spacing and optional\n"
    "commas changed. The meaning never changes: same semantic hash, same\n"
    "canonical text.\n"
    "  --check, -l     print the paths of the files that are not formatted,\n"
    "                  one per line; exit 1 when there is any\n"
    "  --diff, -d      print a unified diff from each file to its formatted\n"
    "                  text; exit 1 when any file differs\n"
    "  -w, --write     rewrite the files that differ, in place and atomically\n"
    "  -j N, --jobs N  work on N files at a time (default: one per core); the\n"
    "                  output is the same for every N\n"
    "  --config FILE   read exclude from FILE instead of the nearest\n"
    "                  qel.toml or pyproject.toml [tool.qel]\n"
    "  --isolated      read no configuration file\n"
    "A directory stands for the *.qel files below it, less those the\n"
    "configuration's exclude names; a file named explicitly is always read.\n";

constexpr const char* kHashHelp =
    "usage: qel hash [--check | -w] [-j N] FILE|DIR...\n"
    "\n"
    "Prints one line per file: the semantic hash, two spaces, the path.\n"
    "  --check         print the paths of the files whose written\n"
    "                  semantic_hash is stale or empty; exit 1 when there is\n"
    "                  any\n"
    "  -w, --write     write the hash into each file's semantic_hash, in place\n"
    "                  and atomically; every other byte, comments included,\n"
    "                  stays\n"
    "  -j N, --jobs N  hash N files at a time (default: one per core); the\n"
    "                  output is the same for every N\n"
    "  --config FILE   read exclude from FILE instead of the nearest\n"
    "                  qel.toml or pyproject.toml [tool.qel]\n"
    "  --isolated      read no configuration file\n"
    "A directory stands for the *.qel files below it, less those the\n"
    "configuration's exclude names; a file named explicitly is always read.\n";

constexpr const char* kParseHelp =
    "usage: qel parse FILE\n"
    "\n"
    "Prints the parsed contract as JSON.\n";

constexpr const char* kRunHelp =
    "usage: qel run [options] CONTRACT REQUESTS\n"
    "\n"
    "Executes the requests against the contract, in order, stopping at the\n"
    "first that fails. REQUESTS is a JSON object or array of objects, or a\n"
    "log of one JSON object per line (a name ending in .jsonl or .ndjson,\n"
    "or --jsonl); one of the files may be - for standard input.\n"
    "  --format json      the execution result as one JSON document (default)\n"
    "  --format jsonl     one compact JSON object per request, written as\n"
    "                     soon as it has run; a log file read this way\n"
    "                     runs in constant memory\n"
    "  --format text      one line per request: index, operation, ok or\n"
    "                     FAILED, the changed fields as old -> new\n"
    "  --jsonl            read REQUESTS as one request per line\n"
    "  --state FILE       start from a stored state (a final_state object)\n"
    "  --save-state FILE  write the final state to FILE, atomically\n"
    "  --expect FILE      run, and compare the result with the one stored in\n"
    "                     FILE instead of printing it: exit 0 when they are\n"
    "                     the same, 1 with the first difference otherwise\n"
    "  --check-inputs     refuse a request whose inputs do not have the\n"
    "                     declared parameter types or name neither a\n"
    "                     parameter nor a state field\n"
    "A failed request is told on standard error as\n"
    "REQUESTS:LINE:COL: error[execution]: request N (operation 'NAME'):\n"
    "the error, the values of the fields its condition names, and how many\n"
    "requests were not run (N counts from 0, as in \"operations\").\n"
    "Exit status: 0 when every request succeeded (or the result matched\n"
    "--expect), 1 when one failed, the requests could not be run or the\n"
    "result differs, 2 for usage errors and unreadable files, 130 when\n"
    "interrupted.\n";

constexpr const char* kLspHelp =
    "usage: qel lsp [--stdio]\n"
    "\n"
    "Runs a language server on standard input and output, for editors:\n"
    "diagnostics as 'qel check' reports them, document symbols, hover, go to\n"
    "definition, references, completion, formatting as 'qel fmt' lays out,\n"
    "and code actions that write the semantic hash or normalize the\n"
    "contract. --stdio, which some clients pass, changes nothing.\n"
    "Exit status: 0 after a shutdown request, 1 when the input ends or exit\n"
    "comes without one.\n";

constexpr const char* kDiffHelp =
    "usage: qel diff [options] OLD NEW\n"
    "       qel diff --against REV [options] FILE|DIR...\n"
    "\n"
    "Reports each change from the old version of a contract to the new one\n"
    "with a rule code, its class and its position in both: error (not a\n"
    "new version of the same contract), breaking (callers or stored states\n"
    "that work now can fail), review (the effect cannot be decided) or\n"
    "compatible. Order, layout and comments are never changes.\n"
    "  --against REV     compare each FILE with its version at the git\n"
    "                    revision REV; a file absent there is a new contract,\n"
    "                    a contract there that is gone a removed one, unless\n"
    "                    the two have one stable_id: then it moved, and they\n"
    "                    are compared as one\n"
    "  --allow CODES     accept these rules (comma-separated; repeatable):\n"
    "                    still shown, never failing\n"
    "  --fail-on WHAT    breaking (default), or review: review changes fail\n"
    "                    too, unless allowed\n"
    "  --config FILE     read [diff] allow and fail-on from FILE instead of\n"
    "                    the nearest qel.toml or pyproject.toml [tool.qel];\n"
    "                    --allow and --fail-on replace what it says\n"
    "  --isolated        read no configuration file\n"
    "  --format human    changes grouped by class, then a summary (default)\n"
    "  --format json     one JSON document with every change\n"
    "  --format github   GitHub Actions annotations\n"
    "  --color WHEN      auto (default), always or never\n"
    "Rules: D0xx identity, D1xx operations, D2xx conditions, D3xx state,\n"
    "D4xx execution constraints, D5xx human-machine contract, D6xx\n"
    "extensions; the README lists them.\n"
    "Exit status: 0 when nothing fails, 1 when a change is breaking, an\n"
    "identity error or (with --fail-on review) review, 2 for usage errors\n"
    "and files that cannot be read or parsed.\n";

struct Command {
  std::string_view name;
  const char* help;
  int (*run)(const std::vector<std::string>&, Io&);
};

constexpr Command kCommands[] = {
    {"check", kCheckHelp, cmd_check},
    {"normalize", kNormalizeHelp, cmd_normalize},
    {"fmt", kFmtHelp, cmd_fmt},
    {"hash", kHashHelp, cmd_hash},
    {"parse", kParseHelp, cmd_parse},
    {"run", kRunHelp, cmd_run},
    {"diff", kDiffHelp, cmd_diff},
    {"lsp", kLspHelp, cmd_lsp},
};

// usage_error() for a command name that is not one, with the nearest name
// on a line of its own; after `help`, the nearest topic.
int unknown_command(Io& io, const std::string& message,
                    std::string_view name, bool help_topic) {
  std::vector<std::string_view> names;
  for (const Command& c : kCommands) names.push_back(c.name);
  if (help_topic) {
    names.push_back("rules");
    for (const Rule& r : rules()) names.push_back(r.code);
  } else {
    names.push_back("help");
  }
  const int status = usage_error(io, message);
  const std::string help = did_you_mean(name, names);
  if (!help.empty()) io.err += "help: " + help + '\n';
  return status;
}

const Command* find_command(std::string_view name) {
  for (const Command& c : kCommands) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

// A size in bytes, with an optional binary suffix: 64K, 10M, 1G.
std::optional<uint64_t> parse_size(std::string_view text) {
  uint64_t unit = 1;
  if (!text.empty()) {
    switch (text.back()) {
      case 'K': case 'k': unit = uint64_t{1} << 10; break;
      case 'M': case 'm': unit = uint64_t{1} << 20; break;
      case 'G': case 'g': unit = uint64_t{1} << 30; break;
      default: break;
    }
    if (unit != 1) text.remove_suffix(1);
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value > UINT64_MAX / unit) return std::nullopt;
  return value * unit;
}

// Takes the options every command accepts out of `args` (before "--"),
// leaving the rest for the command.
bool take_global_options(const std::vector<std::string>& args, Io& io,
                         std::vector<std::string>& rest) {
  constexpr std::string_view kMaxInput = "--max-input-size";
  bool only_operands = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (only_operands || a.rfind(kMaxInput, 0) != 0) {
      only_operands = only_operands || a == "--";
      rest.push_back(a);
      continue;
    }
    std::string value;
    if (a.size() == kMaxInput.size()) {
      if (i + 1 >= args.size()) {
        usage_error(io, "--max-input-size needs a value");
        return false;
      }
      value = args[++i];
    } else if (a[kMaxInput.size()] == '=') {
      value = a.substr(kMaxInput.size() + 1);
    } else {
      rest.push_back(a);  // some other option; the command judges it
      continue;
    }
    const std::optional<uint64_t> size = parse_size(value);
    if (!size) {
      usage_error(io, "--max-input-size takes a number of bytes, such as "
                      "1048576, 64K, 10M or 1G");
      return false;
    }
    io.max_input_size = *size;
  }
  return true;
}

}  // namespace

int run(const std::vector<std::string>& all_args, Io& io) {
  std::vector<std::string> args;
  if (!take_global_options(all_args, io, args)) return 2;
  if (args.empty()) {
    io.err += kHelp;
    return 2;
  }
  const std::string& name = args[0];
  if (name == "--version" || name == "-V") {
    io.out += std::string(kVersion) + '\n';
    return 0;
  }
  if (name == "help" || name == "--help" || name == "-h") {
    if (args.size() > 1) {
      const Command* command = find_command(args[1]);
      int status = 0;
      if (command == nullptr && help_topic(args, io, status)) return status;
      if (command == nullptr) {
        return unknown_command(
            io, "unknown command or rule code '" + args[1] + "'", args[1],
            true);
      }
      io.out += command->help;
    } else {
      io.out += kHelp;
    }
    return 0;
  }
  const Command* command = find_command(name);
  if (command == nullptr) {
    if (!name.empty() && name[0] == '-') {
      return usage_error(io, "unknown option '" + name + "'");
    }
    return unknown_command(io, "unknown command '" + name + "'", name, false);
  }
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--") break;
    if (args[i] == "-h" || args[i] == "--help") {
      io.out += command->help;
      return 0;
    }
  }
  return command->run(args, io);
}

}  // namespace qel::cli
