// qel diff: what changed between two versions of a contract, and whether
// the change breaks callers or stored states. The comparison itself is the
// core's (qel/contract_diff.h) and reading a revision is git_revision.h's:
// this file finds the two versions of each file and prints the changes.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "qel/check.h"
#include "git_revision.h"
#include "qel/contract_diff.h"
#include "qel/json.h"
#include "qel/parser.h"
#include "walk.h"

namespace qel::cli {
namespace {

struct Options {
  std::string format = "human";
  bool color = false;
  std::array<bool, 256> allowed{};  // by DiffCode
  std::optional<std::string> against;

  bool is_allowed(DiffCode code) const {
    return allowed[static_cast<std::size_t>(code)];
  }
};

// One compared pair: the labels the output names them by, and the changes.
struct Compared {
  std::string old_label;  // a path, or REV:PATH; empty for a new contract
  std::string new_label;  // for a removed contract, where it was
  std::vector<Change> changes;
  bool removed = false;
};

// A comma-separated list of rule codes; false with `why` set for an
// unknown one.
bool parse_allowed(const std::string& list, Options& options,
                   std::string& why) {
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string code = list.substr(start, end - start);
    if (!code.empty()) {
      const DiffRule* rule = find_diff_rule(code);
      if (rule == nullptr) {
        why = "unknown rule code '" + code + "' (see 'qel help diff')";
        return false;
      }
      options.allowed[static_cast<std::size_t>(rule->id)] = true;
    }
    start = end + 1;
  }
  return true;
}

bool fails(const Change& c, const Options& options) {
  const ChangeClass k = c.rule().change_class;
  return (k == ChangeClass::kError || k == ChangeClass::kBreaking) &&
         !options.is_allowed(c.code);
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// ---- Reading the old version from git --------------------------------------

// Says on standard error why `path` could not be read from git.
bool fail(Io& io, const std::string& path, std::string why) {
  while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) {
    why.pop_back();
  }
  io.err += "qel: cannot read '" + shown_path(path) + "' from git: " +
            shown_path(why) + '\n';
  return false;
}

// ---- Comparing ---------------------------------------------------------------

// A file to compare with its version at the revision, or one that was
// there and is gone.
struct Target {
  std::string path;
  std::string error;  // why a directory could not be read
  bool removed = false;
};

// Parses one version; on failure the parse error is shown as every command
// shows one.
std::optional<SyntaxTree> parse_version(Io& io, const std::string& label,
                                        std::string_view text) {
  Result<SyntaxTree> tree = parse_tree(text);
  if (!tree.ok()) {
    report_error(io, label, text, tree.error());
    return std::nullopt;
  }
  return std::move(tree).value();
}

bool compare(Io& io, const std::string& old_label, std::string_view old_text,
             const std::string& new_label, std::string_view new_text,
             std::vector<Compared>& out) {
  const std::optional<SyntaxTree> o = parse_version(io, old_label, old_text);
  const std::optional<SyntaxTree> n = parse_version(io, new_label, new_text);
  if (!o || !n) return false;
  out.push_back({old_label, new_label, diff_contracts(*o, *n)});
  return true;
}

// `path` (from `dir`) as a walk of `dir` names it.
std::string below(const std::string& dir, const std::string& path) {
  if (path.empty()) return dir;
  return dir.ends_with('/') ? dir + path : dir + '/' + path;
}

// `path`, found by walking `given`, as components from the top of the
// repository, `base` being those of `given`.
std::vector<std::string> tracked_below(const std::vector<std::string>& base,
                                       const std::string& given,
                                       const std::string& path) {
  std::vector<std::string> out = base;
  if (path.size() > given.size() && path.starts_with(given)) {
    for (std::string& part : path_components(path.substr(given.size()))) {
      out.push_back(std::move(part));
    }
  }
  return out;
}

// Compares each file with its version at options.against. False when any
// could not be read or parsed (the others are compared all the same).
bool compare_against(Io& io, const std::string& rev,
                     const std::vector<std::string>& operands,
                     std::vector<Compared>& out) {
  GitRevision revision(rev, io.max_input_size);
  std::string why;
  if (!revision.open(why)) {
    io.err += "qel: diff: " + shown_path(why) + '\n';
    return false;
  }
  bool ok = true;
  InputReader reader(io);
  for (const std::string& given : operands) {
    std::vector<std::string> base;
    if (!revision.tracked(given, base, why)) {
      ok = fail(io, given, why);
      continue;
    }
    std::vector<Target> files;
    // A directory, or a path gone since the revision, may hide contracts
    // that were removed: they are listed from the revision, in the same
    // order as the files that are still here.
    std::vector<std::string> removed;
    const bool here = exists_here(given);
    if (!here || is_directory(given)) {
      std::vector<std::string> listed;
      std::vector<GitRevision::Unlisted> unlisted;
      if (!revision.list(base, listed, unlisted, why)) {
        ok = fail(io, given, why);
        continue;
      }
      // The rest is still compared.
      for (const GitRevision::Unlisted& u : unlisted) {
        ok = fail(io, below(given, u.path), u.why);
      }
      for (const std::string& path : listed) {
        if (!exists_here(below(given, path))) {
          removed.push_back(below(given, path));
        }
      }
    }
    if (here) {
      for (Operand& o : expand_operands({given}, io.err)) {
        files.push_back({std::move(o.path), std::move(o.error), false});
      }
    }
    for (std::string& path : removed) files.push_back({std::move(path), "", true});
    std::stable_sort(files.begin(), files.end(),
                     [](const Target& a, const Target& b) {
                       return a.path < b.path;
                     });
    // Not here and nothing at the revision either: unreadable, as always.
    if (!here && files.empty()) files.push_back({given, "", false});
    for (const Target& operand : files) {
      const std::string old_label = rev + ":" + operand.path;
      if (operand.removed) {
        out.push_back({old_label, operand.path,
                       {Change{DiffCode::kContractRemoved, Span{1, 1, 0},
                               std::nullopt,
                               "the contract at " + old_label +
                                   " is gone: " +
                                   std::string(diff_rule(
                                       DiffCode::kContractRemoved)
                                                   .summary)}},
                       true});
        continue;
      }
      if (!operand.error.empty()) {
        io.err += "qel: cannot read '" + shown_path(operand.path) + "': " +
                  operand.error + '\n';
        ok = false;
        continue;
      }
      Input in;
      std::optional<std::string> old_text;
      if (!reader.read(operand.path, in)) {
        ok = false;
        continue;
      }
      if (!revision.read(tracked_below(base, given, operand.path), old_text,
                         why)) {
        ok = fail(io, operand.path, why);
        continue;
      }
      if (!old_text) {
        // Nothing to compare with; a new file that does not parse is
        // still an error.
        if (!parse_version(io, in.path, in.text)) {
          ok = false;
          continue;
        }
        out.push_back({std::string(), in.path,
                       {Change{DiffCode::kNewContract, std::nullopt,
                               Span{1, 1, 0},
                               "no contract at " + old_label + ": " +
                                   std::string(
                                       diff_rule(DiffCode::kNewContract)
                                           .summary)}}});
        continue;
      }
      if (std::string_view(*old_text).substr(0, 3) == kByteOrderMark) {
        old_text->erase(0, kByteOrderMark.size());
      }
      ok = compare(io, old_label, *old_text, in.path, in.text, out) && ok;
    }
  }
  return ok;
}

// ---- Output ----------------------------------------------------------------------

constexpr const char* kRed = "\x1b[1;31m";
constexpr const char* kYellow = "\x1b[1;33m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kReset = "\x1b[0m";

std::string position(const std::string& label, const std::optional<Span>& s) {
  if (!s) return label;
  return label + ":" + std::to_string(s->line) + ":" +
         std::to_string(s->column);
}

// The groups of the human output, in the order they are shown: what fails
// first, then what a reviewer must judge, then the rest.
enum class Group { kError, kBreaking, kReview, kCompatible, kAllowed };
constexpr Group kGroups[] = {Group::kError, Group::kBreaking, Group::kReview,
                             Group::kCompatible, Group::kAllowed};
constexpr const char* kGroupNames[] = {"error", "breaking", "review",
                                       "compatible", "allowed"};

Group group_of(const Change& c, const Options& options) {
  if (options.is_allowed(c.code)) return Group::kAllowed;
  return static_cast<Group>(c.rule().change_class);
}

struct Counts {
  std::array<uint64_t, std::size(kGroups)> by_group{};
  uint64_t files = 0;
};

void write_human(const Compared& c, const Options& options, Counts& counts,
                 std::string& out) {
  ++counts.files;
  if (c.changes.empty()) return;
  // Paths are shown escaped: a file name can neither start a line of its
  // own nor reach the terminal as an escape sequence.
  const std::string old_label = shown_path(c.old_label);
  const std::string new_label = shown_path(c.new_label);
  if (options.color) out += kBold;
  out += (c.old_label.empty() ? std::string("(none)") : old_label) + " -> " +
         (c.removed ? std::string("(none)") : new_label);
  if (options.color) out += kReset;
  out += '\n';
  for (const Group g : kGroups) {
    const std::size_t gi = static_cast<std::size_t>(g);
    bool header = false;
    for (const Change& change : c.changes) {
      if (group_of(change, options) != g) continue;
      ++counts.by_group[gi];
      if (!header) {
        out += kGroupNames[gi];
        out += ":\n";
        header = true;
      }
      const DiffRule& rule = change.rule();
      const char* color = g == Group::kError || g == Group::kBreaking ? kRed
                          : g == Group::kReview                       ? kYellow
                                                                      : nullptr;
      out += "  ";
      out += position(new_label, change.new_span);
      out += ": ";
      if (options.color && color != nullptr) out += color;
      out += change_class_name(rule.change_class);
      out += '[';
      out += rule.code;
      if (rule.security) out += ", security";
      out += ']';
      if (options.color && color != nullptr) out += kReset;
      out += ": ";
      append_printable(change.reason, out);
      if (change.old_span) {
        out += " (old: " + position(old_label, change.old_span) + ")";
      }
      out += '\n';
    }
  }
}

std::string summary_line(const Counts& counts) {
  std::string line;
  for (const Group g : kGroups) {
    const uint64_t n = counts.by_group[static_cast<std::size_t>(g)];
    if (n == 0) continue;
    if (!line.empty()) line += ", ";
    line += std::to_string(n) + " " + kGroupNames[static_cast<std::size_t>(g)];
  }
  if (line.empty()) line = "no changes";
  line += " in " + std::to_string(counts.files) +
          (counts.files == 1 ? " file\n" : " files\n");
  return line;
}

void write_span(JsonWriter& w, const std::optional<Span>& s) {
  if (!s) {
    w.null();
    return;
  }
  w.begin_object();
  w.key("line");
  w.unsigned_integer(s->line);
  w.key("column");
  w.unsigned_integer(s->column);
  w.end_object();
}

// Whether `s` is well-formed UTF-8: no stray continuation bytes, overlong
// forms, surrogates or code points past U+10FFFF.
bool is_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t n = 1;
    uint32_t cp = lead, least = 0;
    if (lead >= 0xF0 && lead <= 0xF4) {
      n = 4, cp = lead & 0x07u, least = 0x10000;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      n = 3, cp = lead & 0x0Fu, least = 0x800;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      n = 2, cp = lead & 0x1Fu, least = 0x80;
    } else if (lead >= 0x80) {
      return false;
    }
    if (s.size() - i < n) return false;
    for (std::size_t k = 1; k < n; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0u) != 0x80u) return false;
      cp = cp << 6 | (b & 0x3Fu);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n;
  }
  return true;
}

// A path (or a message quoting one) for the JSON output, which must stay
// UTF-8: a name that is not is shown escaped, as in the human output.
std::string json_text(const std::string& s) {
  return is_utf8(s) ? s : shown_path(s);
}

void write_json(const std::vector<Compared>& all, const Options& options,
                bool failed, std::string& out) {
  JsonWriter w(out);
  w.begin_object();
  w.key("files");
  w.begin_array();
  for (const Compared& c : all) {
    w.begin_object();
    w.key("old");
    if (c.old_label.empty()) w.null(); else w.string(json_text(c.old_label));
    w.key("new");
    if (c.removed) w.null(); else w.string(json_text(c.new_label));
    w.key("changes");
    w.begin_array();
    for (const Change& change : c.changes) {
      const DiffRule& rule = change.rule();
      w.begin_object();
      w.key("code"); w.string(rule.code);
      w.key("name"); w.string(rule.name);
      w.key("class"); w.string(change_class_name(rule.change_class));
      w.key("security"); w.boolean(rule.security);
      w.key("allowed"); w.boolean(options.is_allowed(change.code));
      w.key("old"); write_span(w, change.old_span);
      w.key("new"); write_span(w, change.new_span);
      w.key("reason"); w.string(json_text(change.reason));
      w.end_object();
    }
    w.end_array();
    w.end_object();
  }
  w.end_array();
  w.key("breaking");
  w.boolean(failed);
  w.end_object();
  out += '\n';
}

void write_github(const Compared& c, const Options& options, std::string& out) {
  for (const Change& change : c.changes) {
    const DiffRule& rule = change.rule();
    const Group g = group_of(change, options);
    out += "::";
    out += g == Group::kError || g == Group::kBreaking ? "error"
           : g == Group::kReview                       ? "warning"
                                                       : "notice";
    out += " file=" + github_escape(c.new_label, true);
    if (change.new_span) {
      out += ",line=" + std::to_string(change.new_span->line) +
             ",col=" + std::to_string(change.new_span->column);
    }
    std::string title = "qel " + std::string(rule.code) + " " +
                        std::string(rule.name);
    if (g == Group::kAllowed) title += " (allowed)";
    out += ",title=" + github_escape(title, true);
    std::string message = change.reason;
    if (change.old_span) {
      message += " (old: " + position(c.old_label, change.old_span) + ")";
    }
    out += "::" + github_escape(message, false) + '\n';
  }
}

}  // namespace

int cmd_diff(const std::vector<std::string>& args, Io& io) {
  const Args a = Args::parse(args, {"--format", "--color", "--allow",
                                    "--against"});
  if (!a.error.empty()) return usage_error(io, "diff: " + a.error);
  Options options;
  std::string color = "auto";
  for (const auto& [name, value] : a.options) {
    std::string why;
    if (output_option("diff", name, value, options.format, color, why)) {
      if (!why.empty()) return usage_error(io, why);
    } else if (name == "--allow") {
      if (!parse_allowed(value, options, why)) return usage_error(io, why);
    } else if (name == "--against") {
      if (value.empty() || value[0] == '-') {
        return usage_error(io, "diff: --against takes a git revision");
      }
      options.against = value;
    } else {
      return usage_error(io, "diff: unknown option '" + name + "'");
    }
  }
  options.color = color == "always" ||
                  (color == "auto" && io.stdout_is_terminal && !io.no_color);

  std::vector<Compared> compared;
  bool ok = true;
  if (options.against) {
    if (a.operands.empty()) return usage_error(io, "diff: no input files");
    for (const std::string& operand : a.operands) {
      if (operand == "-") {
        return usage_error(io, "diff: --against reads files, not standard "
                               "input");
      }
    }
    ok = compare_against(io, *options.against, a.operands, compared);
  } else {
    if (a.operands.size() != 2) {
      return usage_error(io, "diff: expected OLD and NEW, or --against REV "
                             "FILE...");
    }
    if (a.operands[0] == "-" && a.operands[1] == "-") {
      return usage_error(io, "diff: standard input can be only one of the "
                             "two versions");
    }
    InputReader reader(io);
    Input old_in, new_in;
    ok = reader.read(a.operands[0], old_in) &&
         reader.read(a.operands[1], new_in) &&
         compare(io, old_in.path, old_in.text, new_in.path, new_in.text,
                 compared);
  }

  bool failed = false;
  for (const Compared& c : compared) {
    for (const Change& change : c.changes) failed = failed || fails(change, options);
  }
  if (options.format == "json") {
    write_json(compared, options, failed, io.out);
  } else if (options.format == "github") {
    for (const Compared& c : compared) write_github(c, options, io.out);
  } else {
    Counts counts;
    for (const Compared& c : compared) write_human(c, options, counts, io.out);
    if (!compared.empty()) io.out += summary_line(counts);
  }
  if (!ok) return 2;
  return failed ? 1 : 0;
}

}  // namespace qel::cli
