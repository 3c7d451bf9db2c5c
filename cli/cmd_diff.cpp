// qel diff: what changed between two versions of a contract, and whether
// the change breaks callers or stored states. The comparison itself is the
// core's (qel/contract_diff.h) and reading a revision is git_revision.h's:
// this file finds the two versions of each file and prints the changes.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "config.h"
#include "qel/check.h"
#include "git_revision.h"
#include "qel/contract_diff.h"
#include "qel/json.h"
#include "qel/parser.h"
#include "walk.h"

namespace qel::cli {
namespace {

using Codes = std::array<bool, 256>;  // by DiffCode

// Which changes fail the command: breaking ones and errors always, review
// ones on request, unless their rule is allowed. The flags fill it, and so
// may a project's configuration, whose rules can differ from path to path
// (a path as the output names it: where the contract is now or, removed,
// was).
struct DiffPolicy {
  Codes allowed{};  // everywhere
  bool fail_on_review = false;
  // Rules allowed for one path besides those allowed everywhere; unset:
  // none.
  std::function<bool(DiffCode, std::string_view path)> allowed_at;
  // Whether review changes fail for one path; unset: fail_on_review.
  std::function<bool(std::string_view path)> fail_on_review_at;

  bool is_allowed(DiffCode code, std::string_view path) const {
    return allowed[static_cast<std::size_t>(code)] ||
           (allowed_at && allowed_at(code, path));
  }
  bool fails_on_review(std::string_view path) const {
    return fail_on_review_at ? fail_on_review_at(path) : fail_on_review;
  }
};

struct Options {
  std::string format = "human";
  bool color = false;
  DiffPolicy policy;
  std::optional<std::string> against;
};

// One compared pair: the labels the output names them by, and the changes.
struct Compared {
  std::string old_label;  // a path, or REV:PATH; empty for a new contract
  std::string new_label;  // for a removed contract, where it was
  std::vector<Change> changes;
  bool removed = false;

  bool is_allowed(const Change& c, const Options& options) const {
    return options.policy.is_allowed(c.code, new_label);
  }
};

// A comma-separated list of rule codes; false with `why` set for an
// unknown one.
bool parse_allowed(const std::string& list, Codes& allowed,
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
      allowed[static_cast<std::size_t>(rule->id)] = true;
    }
    start = end + 1;
  }
  return true;
}

// What --fail-on names: "breaking" (always failing) and "review",
// comma-separated; false with `why` set for another word.
bool parse_fail_on(const std::string& list, bool& review, std::string& why) {
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string word = list.substr(start, end - start);
    if (word == "review") {
      review = true;
    } else if (!word.empty() && word != "breaking") {
      why = "diff: --fail-on takes breaking or review, not '" + word + "'";
      return false;
    }
    start = end + 1;
  }
  return true;
}

// Whether the change is breaking, or an error, that no rule allows.
bool breaks(const Compared& in, const Change& c, const Options& options) {
  const ChangeClass k = c.rule().change_class;
  return (k == ChangeClass::kError || k == ChangeClass::kBreaking) &&
         !in.is_allowed(c, options);
}

// Whether the change fails the command under the policy.
bool fails(const Compared& in, const Change& c, const Options& options) {
  return breaks(in, c, options) ||
         (options.policy.fails_on_review(in.new_label) &&
          c.rule().change_class == ChangeClass::kReview &&
          !in.is_allowed(c, options));
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

// A contract new since the revision, or one there that is gone here: one
// of the two halves of a move when the other has its stable_id.
struct Loose {
  std::size_t index;  // of its entry in the output
  std::string path;   // where it is, or was
  std::vector<std::string> tracked;  // removed: its path from the top
  std::string stable_id;             // new: from its text
};

std::string stable_id_of(const SyntaxTree& tree) {
  return std::string(tree.contract().identity().stable_id().text());
}

void drop_byte_order_mark(std::string& text) {
  if (std::string_view(text).substr(0, 3) == kByteOrderMark) {
    text.erase(0, kByteOrderMark.size());
  }
}

// A contract moved (or its file renamed) is gone at its old path and new
// at another, with the same stable_id: each such pair is compared as one
// contract, in the new one's entry, and the removed one's entry goes. Each
// stable_id's removed and new contracts pair up in byte order of their
// paths, one to one; what is left stays removed or new. False when a new
// file that was read once could not be read again.
bool pair_moves(Io& io, GitRevision& revision, const std::string& rev,
                std::vector<Loose>& removed, std::vector<Loose>& added,
                std::vector<Compared>& out) {
  if (removed.empty() || added.empty()) return true;
  const auto by_path = [](const Loose& a, const Loose& b) {
    return a.path < b.path;
  };
  std::stable_sort(removed.begin(), removed.end(), by_path);
  std::stable_sort(added.begin(), added.end(), by_path);
  std::map<std::string, std::vector<std::size_t>> new_by_id;  // into added
  for (std::size_t i = 0; i < added.size(); ++i) {
    new_by_id[added[i].stable_id].push_back(i);
  }
  std::map<std::string, std::size_t> taken;  // by stable_id
  std::vector<bool> gone(out.size(), false);
  bool ok = true;
  InputReader reader(io);
  for (const Loose& r : removed) {
    // An old text that cannot be read or parsed has no stable_id to match:
    // the contract stays removed, as without a move.
    std::optional<std::string> old_text;
    std::string why;
    if (!revision.read(r.tracked, old_text, why) || !old_text) continue;
    drop_byte_order_mark(*old_text);
    std::string id;
    {
      const Result<SyntaxTree> tree = parse_tree(*old_text);
      if (!tree.ok()) continue;
      id = stable_id_of(tree.value());
    }
    const auto candidates = new_by_id.find(id);
    if (candidates == new_by_id.end()) continue;
    std::size_t& next = taken[id];
    if (next == candidates->second.size()) continue;
    const Loose& a = added[candidates->second[next++]];
    Input in;
    std::vector<Compared> one;
    if (!reader.read(a.path, in) ||
        !compare(io, rev + ":" + r.path, *old_text, in.path, in.text, one)) {
      ok = false;
      continue;
    }
    out[a.index] = std::move(one.front());
    gone[r.index] = true;
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (gone[i]) continue;
    if (kept != i) out[kept] = std::move(out[i]);
    ++kept;
  }
  out.resize(kept);
  return ok;
}

// Compares each file with its version at options.against. False when any
// could not be read or parsed (the others are compared all the same).
bool compare_against(Io& io, const std::string& rev,
                     const std::vector<std::string>& operands,
                     std::vector<Compared>& out) {
  // The halves of a move may come from different operands.
  std::vector<Loose> removed_contracts, new_contracts;
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
        removed_contracts.push_back(
            {out.size(), operand.path,
             tracked_below(base, given, operand.path), {}});
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
        const std::optional<SyntaxTree> tree =
            parse_version(io, in.path, in.text);
        if (!tree) {
          ok = false;
          continue;
        }
        new_contracts.push_back({out.size(), in.path, {}, stable_id_of(*tree)});
        out.push_back({std::string(), in.path,
                       {Change{DiffCode::kNewContract, std::nullopt,
                               Span{1, 1, 0},
                               "no contract at " + old_label + ": " +
                                   std::string(
                                       diff_rule(DiffCode::kNewContract)
                                           .summary)}}});
        continue;
      }
      drop_byte_order_mark(*old_text);
      ok = compare(io, old_label, *old_text, in.path, in.text, out) && ok;
    }
  }
  return pair_moves(io, revision, rev, removed_contracts, new_contracts,
                    out) &&
         ok;
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

Group group_of(const Compared& in, const Change& c, const Options& options) {
  if (in.is_allowed(c, options)) return Group::kAllowed;
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
      if (group_of(c, change, options) != g) continue;
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
      if (!change.note.empty()) {
        out += "    note: ";
        append_printable(change.note, out);
        out += '\n';
      }
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

// "breaking" says whether a breaking change or an error is left that no
// rule allows, whatever --fail-on says: the exit status gives the verdict.
void write_json(const std::vector<Compared>& all, const Options& options,
                bool breaking, std::string& out) {
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
      w.key("allowed"); w.boolean(c.is_allowed(change, options));
      w.key("old"); write_span(w, change.old_span);
      w.key("new"); write_span(w, change.new_span);
      w.key("reason"); w.string(json_text(change.reason));
      if (!change.note.empty()) {
        w.key("note"); w.string(json_text(change.note));
      }
      w.end_object();
    }
    w.end_array();
    w.end_object();
  }
  w.end_array();
  w.key("breaking");
  w.boolean(breaking);
  w.end_object();
  out += '\n';
}

void write_github(const Compared& c, const Options& options, std::string& out) {
  for (const Change& change : c.changes) {
    const DiffRule& rule = change.rule();
    const Group g = group_of(c, change, options);
    out += "::";
    // What fails the job is an error, a review change included when it
    // does.
    out += fails(c, change, options) ? "error"
           : g == Group::kReview     ? "warning"
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
    if (!change.note.empty()) message += "\nnote: " + change.note;
    out += "::" + github_escape(message, false) + '\n';
  }
}

// What the configuration governing each compared path allows there, and
// whether it fails on review changes; a flag given overrides it. False
// when a configuration cannot be read (said on standard error).
struct FromConfiguration {
  Codes allowed{};
  bool fail_on_review = false;
};

bool apply_configuration(const ConfigSource& source,
                         const std::vector<Compared>& compared,
                         bool allow_given, bool fail_on_given, Io& io,
                         std::map<std::string, FromConfiguration,
                                  std::less<>>& by_path,
                         DiffPolicy& policy) {
  ConfigFinder configs(source);
  for (const Compared& c : compared) {
    if (by_path.contains(c.new_label)) continue;
    FromConfiguration rules;
    if (const std::shared_ptr<const ProjectConfig> config =
            configs.load_config_for(c.new_label)) {
      for (const std::string& code : config->diff_allowed(c.new_label)) {
        if (const DiffRule* rule = find_diff_rule(code)) {
          rules.allowed[static_cast<std::size_t>(rule->id)] = true;
        }
      }
      rules.fail_on_review = config->diff.fail_on_review;
    }
    by_path.emplace(c.new_label, rules);
  }
  if (const std::string error = configs.error(); !error.empty()) {
    io.err += error + '\n';
    return false;
  }
  if (!allow_given) {
    policy.allowed_at = [&by_path](DiffCode code, std::string_view path) {
      const auto it = by_path.find(path);
      return it != by_path.end() &&
             it->second.allowed[static_cast<std::size_t>(code)];
    };
  }
  if (!fail_on_given) {
    policy.fail_on_review_at = [&by_path](std::string_view path) {
      const auto it = by_path.find(path);
      return it != by_path.end() && it->second.fail_on_review;
    };
  }
  return true;
}

}  // namespace

int cmd_diff(const std::vector<std::string>& args, Io& io) {
  const Args a = Args::parse(args, {"--format", "--color", "--allow",
                                    "--against", "--fail-on", "--config"});
  if (!a.error.empty()) return usage_error(io, "diff: " + a.error);
  Options options;
  std::string color = "auto";
  ConfigSource source;
  bool allow_given = false, fail_on_given = false;
  for (const auto& [name, value] : a.options) {
    std::string why;
    if (output_option("diff", name, value, options.format, color, why)) {
      if (!why.empty()) return usage_error(io, why);
    } else if (config_option(name, value, source, why)) {
      if (!why.empty()) return usage_error(io, "diff: " + why);
    } else if (name == "--allow") {
      allow_given = true;
      if (!parse_allowed(value, options.policy.allowed, why)) {
        return usage_error(io, why);
      }
    } else if (name == "--fail-on") {
      // The last one given wins, over a configuration's too.
      bool review = false;
      fail_on_given = true;
      if (!parse_fail_on(value, review, why)) return usage_error(io, why);
      options.policy.fail_on_review = review;
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

  std::map<std::string, FromConfiguration, std::less<>> configured;
  if (!apply_configuration(source, compared, allow_given, fail_on_given, io,
                           configured, options.policy)) {
    return 2;
  }
  bool breaking = false, failed = false;
  for (const Compared& c : compared) {
    for (const Change& change : c.changes) {
      breaking = breaking || breaks(c, change, options);
      failed = failed || fails(c, change, options);
    }
  }
  if (options.format == "json") {
    write_json(compared, options, breaking, io.out);
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
