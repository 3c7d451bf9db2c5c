#include "cli.h"

#include <cstdint>
#include <optional>
#include <string_view>

#include "diff.h"
#include "files.h"
#include "qel/api.h"
#include "qel/canonical.h"
#include "qel/executor.h"
#include "qel/json.h"
#include "qel/parser.h"
#include "qel/verifier.h"
#include "source_view.h"

namespace qel::cli {
namespace {

constexpr const char* kVersion = "qel 0.1.0";

constexpr const char* kHelp =
    "usage: qel <command> [options] FILE...\n"
    "\n"
    "Commands (FILE may be - for standard input):\n"
    "  check FILE...        parse and verify; report every finding\n"
    "  normalize FILE...    print the canonical text\n"
    "  hash FILE...         print the semantic hash of each file\n"
    "  parse FILE           print the contract as JSON\n"
    "  run CONTRACT REQUESTS  execute the requests (JSON) against the contract\n"
    "  help [COMMAND]       show help\n"
    "\n"
    "Options:\n"
    "  --version            print the version\n"
    "  -h, --help           show help for a command\n"
    "  --max-input-size=N   refuse inputs larger than N bytes (suffixes K, M,\n"
    "                       G for binary multiples; default 1G)\n"
    "\n"
    "Exit status: 0 success, 1 a contract or request problem, 2 usage error\n"
    "or unreadable file.\n";

constexpr const char* kCheckHelp =
    "usage: qel check [--format human|json|github] FILE...\n"
    "\n"
    "Parses and verifies each contract and reports parse errors, verifier\n"
    "errors and warnings with their positions.\n"
    "  --format human   path:line:column: severity[kind]: message, the source\n"
    "                   line and a caret (default)\n"
    "  --format json    one JSON document with every file's diagnostics\n"
    "  --format github  GitHub Actions annotations\n"
    "Exit status: 0 when every file is valid (warnings allowed), 1 when any\n"
    "file has an error or does not parse, 2 for usage errors or unreadable\n"
    "files.\n";

constexpr const char* kNormalizeHelp =
    "usage: qel normalize [--check] [--diff] [-w] FILE...\n"
    "\n"
    "Prints the canonical text of each contract.\n"
    "  --check   print nothing; exit 1 when a file is not in canonical form\n"
    "  --diff    print a unified diff from each file to its canonical text\n"
    "  -w        rewrite files in place (atomically) when they differ\n";

constexpr const char* kHashHelp =
    "usage: qel hash FILE...\n"
    "\n"
    "Prints one line per file: the semantic hash, two spaces, the path.\n";

constexpr const char* kParseHelp =
    "usage: qel parse FILE\n"
    "\n"
    "Prints the parsed contract as JSON.\n";

constexpr const char* kRunHelp =
    "usage: qel run CONTRACT REQUESTS\n"
    "\n"
    "Executes the requests (a JSON object or array, or - for standard input)\n"
    "against the contract and prints the execution result as JSON.\n"
    "Exit status: 0 when every request succeeded, 1 when one failed or the\n"
    "requests could not be run.\n";

const char* help_for(std::string_view command) {
  if (command == "check") return kCheckHelp;
  if (command == "normalize") return kNormalizeHelp;
  if (command == "hash") return kHashHelp;
  if (command == "parse") return kParseHelp;
  if (command == "run") return kRunHelp;
  return nullptr;
}

struct Input {
  std::string path;  // as given; "-" is standard input
  std::string text;
  std::string real_path;  // for a rewrite: the file that is replaced
  FileStamp stamp;        // for a rewrite: the file as it was read
};

// Reads inputs one at a time, so that only one file is held in memory.
// Standard input is read once, however often "-" is named.
class InputReader {
 public:
  explicit InputReader(Io& io) : io_(io) {}

  // Reads `path` whole into `in`; false after saying why on stderr. With
  // `for_rewrite`, the file is first checked to be one that may be
  // rewritten, and nothing is read when it is not.
  bool read(const std::string& path, Input& in, bool for_rewrite = false) {
    in.path = path;
    std::string why;
    if (path == "-") {
      if (!stdin_text_ && !stdin_failed_) {
        std::string text;
        if (io_.read_stdin(io_.max_input_size, text, why)) {
          stdin_text_ = std::move(text);
        } else {
          stdin_failed_ = true;
          stdin_why_ = why;
        }
      }
      if (stdin_failed_) {
        io_.err += "qel: cannot read standard input: " + stdin_why_ + '\n';
        return false;
      }
      in.text = *stdin_text_;
      return true;
    }
    if (for_rewrite) {
      if (!rewrite_target(path, in.real_path, why)) {
        io_.err += "qel: cannot rewrite '" + path + "': " + why + '\n';
        return false;
      }
      if (!read_file(in.real_path, io_.max_input_size, in.text, why,
                     &in.stamp)) {
        io_.err += "qel: cannot read '" + path + "': " + why + '\n';
        return false;
      }
      return true;
    }
    if (!read_file(path, io_.max_input_size, in.text, why)) {
      io_.err += "qel: cannot read '" + path + "': " + why + '\n';
      return false;
    }
    return true;
  }

 private:
  Io& io_;
  std::optional<std::string> stdin_text_;
  bool stdin_failed_ = false;
  std::string stdin_why_;
};

// A parse error's message ends with " at line:column"; splits that off.
struct Located {
  std::string message;
  uint64_t line = 0;
  uint64_t column = 0;
};

Located locate_parse_error(const Error& error) {
  Located loc{error.first(), 0, 0};
  const std::string& m = loc.message;
  const size_t at = m.rfind(" at ");
  if (at == std::string::npos) return loc;
  const std::string_view pos = std::string_view(m).substr(at + 4);
  const size_t colon = pos.find(':');
  if (colon == std::string_view::npos || colon == 0 ||
      colon + 1 >= pos.size()) {
    return loc;
  }
  uint64_t line = 0, column = 0;
  for (char c : pos.substr(0, colon)) {
    if (c < '0' || c > '9') return loc;
    line = line * 10 + static_cast<uint64_t>(c - '0');
  }
  for (char c : pos.substr(colon + 1)) {
    if (c < '0' || c > '9') return loc;
    column = column * 10 + static_cast<uint64_t>(c - '0');
  }
  loc.message.resize(at);
  loc.line = line;
  loc.column = column;
  return loc;
}

struct Finding {
  const char* severity;  // "error" / "warning"
  std::string kind;      // "parse", "type", ...
  std::string message;
  uint64_t line = 0;  // 0: no position
  uint64_t column = 0;
};

struct FileReport {
  std::string path;
  bool parsed = false;
  bool valid = false;
  std::vector<Finding> findings;
};

FileReport check_one(const Input& in) {
  FileReport report;
  report.path = in.path;
  Result<ContractNode> tree = parse(in.text);
  if (!tree.ok()) {
    Located loc = locate_parse_error(tree.error());
    report.findings.push_back(
        {"error", "parse", std::move(loc.message), loc.line, loc.column});
    return report;
  }
  report.parsed = true;
  const VerificationResult result = verify(*tree);
  report.valid = result.is_valid();
  for (const Diagnostic& d : result.diagnostics()) {
    Finding f{d.severity == Severity::kError ? "error" : "warning",
              diagnostic_kind_name(d.kind), d.message, 0, 0};
    if (d.span) {
      f.line = d.span->line;
      f.column = d.span->column;
    }
    report.findings.push_back(std::move(f));
  }
  return report;
}

void write_human(const FileReport& r, std::string_view text, std::string& out) {
  std::optional<SourceView> view;  // indexed at the first finding with a line
  for (const Finding& f : r.findings) {
    out += r.path;
    if (f.line != 0) {
      out += ':' + std::to_string(f.line) + ':' + std::to_string(f.column);
    }
    out += ": ";
    out += f.severity;
    out += '[' + f.kind + "]: ";
    append_printable(f.message, out);
    out += '\n';
    if (f.line != 0) {
      if (!view) view.emplace(text);
      const EchoedLine echo = view->echo(f.line, f.column);
      out += echo.text;
      out += '\n';
      out += echo.caret;
      out += '\n';
    }
  }
}

// GitHub workflow commands escape these characters in data and properties.
std::string github_escape(std::string_view s, bool property) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '%': out += "%25"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      case ':': out += property ? "%3A" : ":"; break;
      case ',': out += property ? "%2C" : ","; break;
      default: out += c;
    }
  }
  return out;
}

void write_github(const FileReport& r, std::string& out) {
  for (const Finding& f : r.findings) {
    out += "::";
    out += f.severity;
    out += " file=" + github_escape(r.path, true);
    if (f.line != 0) {
      out += ",line=" + std::to_string(f.line) +
             ",col=" + std::to_string(f.column);
    }
    out += ",title=" + github_escape("qel " + f.kind, true);
    out += "::" + github_escape(f.message, false) + '\n';
  }
}

void write_json(const std::vector<FileReport>& reports, bool all_valid,
                std::string& out) {
  JsonWriter w(out);
  w.begin_object();
  w.key("files");
  w.begin_array();
  for (const FileReport& r : reports) {
    w.begin_object();
    w.key("path"); w.string(r.path);
    w.key("parsed"); w.boolean(r.parsed);
    w.key("valid"); w.boolean(r.valid);
    w.key("diagnostics");
    w.begin_array();
    for (const Finding& f : r.findings) {
      w.begin_object();
      w.key("severity"); w.string(f.severity);
      w.key("kind"); w.string(f.kind);
      w.key("message"); w.string(f.message);
      w.key("line");
      if (f.line != 0) w.unsigned_integer(f.line); else w.null();
      w.key("column");
      if (f.line != 0) w.unsigned_integer(f.column); else w.null();
      w.end_object();
    }
    w.end_array();
    w.end_object();
  }
  w.end_array();
  w.key("valid"); w.boolean(all_valid);
  w.end_object();
  out += '\n';
}

int usage_error(Io& io, const std::string& message) {
  io.err += "qel: " + message + " (see 'qel help')\n";
  return 2;
}

// Splits a command's arguments into options and operands; "--" ends the
// options, and "-" alone is an operand.
struct Parsed {
  std::vector<std::string> options;
  std::vector<std::string> operands;
};

Parsed split_args(const std::vector<std::string>& args, size_t from) {
  Parsed p;
  bool only_operands = false;
  for (size_t i = from; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!only_operands && a == "--") {
      only_operands = true;
    } else if (!only_operands && a.size() > 1 && a[0] == '-') {
      p.options.push_back(a);
    } else {
      p.operands.push_back(a);
    }
  }
  return p;
}

int cmd_check(const std::vector<std::string>& args, Io& io) {
  std::string format = "human";
  std::vector<std::string> paths;
  bool only_operands = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (only_operands || a == "-" || a.empty() || a[0] != '-') {
      paths.push_back(a);
    } else if (a == "--") {
      only_operands = true;
    } else if (a == "--format" || a.rfind("--format=", 0) == 0) {
      if (a == "--format") {
        if (i + 1 >= args.size()) return usage_error(io, "--format needs a value");
        format = args[++i];
      } else {
        format = a.substr(9);
      }
      if (format != "human" && format != "json" && format != "github") {
        return usage_error(io, "unknown format '" + format +
                                   "' (expected human, json or github)");
      }
    } else {
      return usage_error(io, "check: unknown option '" + a + "'");
    }
  }
  if (paths.empty()) return usage_error(io, "check: no input files");
  InputReader reader(io);
  bool readable = true;
  std::vector<FileReport> reports;
  bool all_valid = true;
  for (const std::string& path : paths) {
    Input in;
    if (!reader.read(path, in)) {
      readable = false;
      continue;
    }
    reports.push_back(check_one(in));
    all_valid = all_valid && reports.back().valid;
    if (format == "human") write_human(reports.back(), in.text, io.out);
    if (format == "github") write_github(reports.back(), io.out);
  }
  if (format == "json") write_json(reports, all_valid && readable, io.out);
  if (!readable) return 2;
  return all_valid ? 0 : 1;
}

void report_error(Io& io, const std::string& path, const Error& error) {
  io.err += path + ": " + error.to_string() + '\n';
}

int cmd_normalize(const std::vector<std::string>& args, Io& io) {
  const Parsed p = split_args(args, 1);
  bool check = false, diff = false, write = false;
  for (const std::string& o : p.options) {
    if (o == "--check") check = true;
    else if (o == "--diff") diff = true;
    else if (o == "-w" || o == "--write") write = true;
    else return usage_error(io, "normalize: unknown option '" + o + "'");
  }
  if (write && (check || diff)) {
    return usage_error(io, std::string("normalize: ") +
                               (check ? "--check" : "--diff") +
                               " and -w cannot be used together");
  }
  if (p.operands.empty()) return usage_error(io, "normalize: no input files");
  if (write) {
    for (const std::string& path : p.operands) {
      if (path == "-") return usage_error(io, "normalize: -w cannot rewrite standard input");
    }
  }
  InputReader reader(io);
  bool readable = true;
  int status = 0;
  for (const std::string& path : p.operands) {
    Input in;
    if (!reader.read(path, in, write)) {
      readable = false;
      continue;
    }
    Result<std::string> canonical = normalize(in.text);
    if (!canonical.ok()) {
      report_error(io, in.path, canonical.error());
      status = 1;
      continue;
    }
    const bool differs = *canonical != in.text;
    if (diff) {
      io.out += unified_diff(in.text, *canonical, "a/" + in.path,
                             "b/" + in.path);
    }
    if (check && differs) status = 1;
    if (write && differs) {
      std::string why;
      if (!rewrite_file(in.real_path, *canonical, in.stamp, why)) {
        io.err += "qel: cannot rewrite '" + in.path + "': " + why + '\n';
        readable = false;
      }
    }
    if (!check && !diff && !write) io.out += *canonical;
  }
  return readable ? status : 2;
}

int cmd_hash(const std::vector<std::string>& args, Io& io) {
  const Parsed p = split_args(args, 1);
  if (!p.options.empty()) {
    return usage_error(io, "hash: unknown option '" + p.options[0] + "'");
  }
  if (p.operands.empty()) return usage_error(io, "hash: no input files");
  InputReader reader(io);
  bool readable = true;
  int status = 0;
  for (const std::string& path : p.operands) {
    Input in;
    if (!reader.read(path, in)) {
      readable = false;
      continue;
    }
    Result<std::string> hash = semantic_hash(in.text);
    if (!hash.ok()) {
      report_error(io, in.path, hash.error());
      status = 1;
      continue;
    }
    io.out += *hash + "  " + in.path + '\n';
  }
  return readable ? status : 2;
}

int cmd_parse(const std::vector<std::string>& args, Io& io) {
  const Parsed p = split_args(args, 1);
  if (!p.options.empty()) {
    return usage_error(io, "parse: unknown option '" + p.options[0] + "'");
  }
  if (p.operands.size() != 1) return usage_error(io, "parse takes one file");
  InputReader reader(io);
  Input in;
  if (!reader.read(p.operands[0], in)) return 2;
  Result<std::string> json = parse_contract_json(in.text);
  if (!json.ok()) {
    report_error(io, in.path, json.error());
    return 1;
  }
  io.out += *json;
  return 0;
}

int cmd_run(const std::vector<std::string>& args, Io& io) {
  const Parsed p = split_args(args, 1);
  if (!p.options.empty()) {
    return usage_error(io, "run: unknown option '" + p.options[0] + "'");
  }
  if (p.operands.size() != 2) {
    return usage_error(io, "run takes a contract file and a requests file");
  }
  InputReader reader(io);
  Input contract_in, requests_in;
  if (!reader.read(p.operands[0], contract_in) ||
      !reader.read(p.operands[1], requests_in)) {
    return 2;
  }
  Result<Contract> contract = parse_contract(contract_in.text);
  if (!contract.ok()) {
    report_error(io, contract_in.path, contract.error());
    return 1;
  }
  Result<std::string> result = execute_contract(*contract, requests_in.text);
  if (!result.ok()) {
    report_error(io, requests_in.path, result.error());
    return 1;
  }
  io.out += *result;
  // The result's top-level "success" member tells whether a request failed;
  // it is the second member, written by our own writer.
  const bool success =
      result->find("\n  \"success\": true,") != std::string::npos;
  return success ? 0 : 1;
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
  const std::string& command = args[0];
  if (command == "--version" || command == "-V") {
    io.out += std::string(kVersion) + '\n';
    return 0;
  }
  if (command == "help" || command == "--help" || command == "-h") {
    if (args.size() > 1) {
      const char* help = help_for(args[1]);
      if (help == nullptr) return usage_error(io, "unknown command '" + args[1] + "'");
      io.out += help;
    } else {
      io.out += kHelp;
    }
    return 0;
  }
  const char* help = help_for(command);
  if (help == nullptr) {
    if (!command.empty() && command[0] == '-') {
      return usage_error(io, "unknown option '" + command + "'");
    }
    return usage_error(io, "unknown command '" + command + "'");
  }
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--") break;
    if (args[i] == "-h" || args[i] == "--help") {
      io.out += help;
      return 0;
    }
  }
  if (command == "check") return cmd_check(args, io);
  if (command == "normalize") return cmd_normalize(args, io);
  if (command == "hash") return cmd_hash(args, io);
  if (command == "parse") return cmd_parse(args, io);
  return cmd_run(args, io);
}

}  // namespace qel::cli
