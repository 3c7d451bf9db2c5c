#include "config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <toml++/toml.h>

#include "qel/contract_diff.h"

namespace qel::cli {
namespace {

// A configuration is a few lines; anything much larger is not one.
constexpr long kMaxConfigBytes = 1 << 20;

bool is_regular_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string working_directory() {
  std::string buf(4096, '\0');
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return "/";
    buf.resize(buf.size() * 2);
  }
  buf.resize(std::strlen(buf.c_str()));
  return buf;
}

// `path` made absolute and lexically clean ("." and ".." resolved, no
// doubled or trailing '/'), without asking the file system about links:
// the globs see the paths the user typed.
std::string absolute(const std::string& path) {
  const std::string full =
      !path.empty() && path[0] == '/' ? path : working_directory() + '/' + path;
  std::vector<std::string_view> parts;
  std::string_view rest = full;
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? "" : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (std::string_view p : parts) (out += '/') += p;
  return out.empty() ? "/" : out;
}

std::string parent(const std::string& abs) {
  const size_t slash = abs.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : abs.substr(0, slash);
}

std::string join(const std::string& dir, std::string_view name) {
  return dir == "/" ? "/" + std::string(name) : dir + '/' + std::string(name);
}

// `file` as messages show it: relative to the working directory when it
// lies below it.
std::string shown_config_path(const std::string& abs) {
  const std::string cwd = working_directory();
  const std::string prefix = cwd == "/" ? "/" : cwd + '/';
  if (abs.size() > prefix.size() &&
      abs.compare(0, prefix.size(), prefix) == 0) {
    return abs.substr(prefix.size());
  }
  return abs;
}

size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                         diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// ---- Glob matching ----------------------------------------------------------

enum class Tok { kChar, kOne, kStar, kAnyPath, kDirs, kClass };
struct Token {
  explicit Token(Tok k, char ch = 0) : kind(k), c(ch) {}
  Tok kind;
  char c;
  std::string set;  // kClass: pairs of bounds, lo hi lo hi ...
  bool negated = false;
};

std::vector<Token> tokenize(std::string_view glob) {
  std::vector<Token> out;
  for (size_t i = 0; i < glob.size(); ++i) {
    const char c = glob[i];
    if (c == '*') {
      const bool two = i + 1 < glob.size() && glob[i + 1] == '*';
      const bool whole = two && (i == 0 || glob[i - 1] == '/') &&
                         (i + 2 == glob.size() || glob[i + 2] == '/');
      if (whole && i + 2 < glob.size()) {
        out.emplace_back(Tok::kDirs);  // "**/": no or any directories
        i += 2;
      } else if (whole) {
        out.emplace_back(Tok::kAnyPath);
        ++i;
      } else {
        out.emplace_back(Tok::kStar);
        while (i + 1 < glob.size() && glob[i + 1] == '*') ++i;
      }
    } else if (c == '?') {
      out.emplace_back(Tok::kOne);
    } else if (c == '[' && glob.find(']', i + 2) != std::string_view::npos) {
      Token t(Tok::kClass);
      size_t j = i + 1;
      if (glob[j] == '!' || glob[j] == '^') t.negated = true, ++j;
      const size_t first = j;
      for (; j < glob.size() && (glob[j] != ']' || j == first); ++j) {
        char hi = glob[j];
        const char lo = hi;
        if (j + 2 < glob.size() && glob[j + 1] == '-' && glob[j + 2] != ']') {
          hi = glob[j + 2];
          j += 2;
        }
        t.set += lo;
        t.set += hi;
      }
      if (j >= glob.size()) {  // no closing bracket: a plain '['
        out.emplace_back(Tok::kChar, c);
        continue;
      }
      out.push_back(std::move(t));
      i = j;
    } else if (c == '\\' && i + 1 < glob.size()) {
      out.emplace_back(Tok::kChar, glob[++i]);
    } else {
      out.emplace_back(Tok::kChar, c);
    }
  }
  return out;
}

bool in_class(const Token& t, char c) {
  bool in = false;
  for (size_t k = 0; k + 1 < t.set.size(); k += 2) {
    in = in || (t.set[k] <= c && c <= t.set[k + 1]);
  }
  return in != t.negated;
}

// Which prefixes of `path` the whole of `tokens` matches: one pass per
// token over every position, so no glob can make it backtrack.
std::vector<char> matched_prefixes(const std::vector<Token>& tokens,
                                   std::string_view path) {
  const size_t n = path.size();
  std::vector<char> cur(n + 1, 0), next(n + 1, 0);
  cur[0] = 1;
  for (const Token& t : tokens) {
    std::fill(next.begin(), next.end(), 0);
    bool any_before = false;  // kDirs: some earlier position matched
    for (size_t j = 0; j <= n; ++j) {
      switch (t.kind) {
        case Tok::kChar:
          if (j > 0 && cur[j - 1] && path[j - 1] == t.c) next[j] = 1;
          break;
        case Tok::kOne:
          if (j > 0 && cur[j - 1] && path[j - 1] != '/') next[j] = 1;
          break;
        case Tok::kClass:
          if (j > 0 && cur[j - 1] && path[j - 1] != '/' &&
              in_class(t, path[j - 1])) {
            next[j] = 1;
          }
          break;
        case Tok::kStar:
          next[j] = cur[j] || (j > 0 && next[j - 1] && path[j - 1] != '/');
          break;
        case Tok::kAnyPath:
          next[j] = cur[j] || (j > 0 && next[j - 1]);
          break;
        case Tok::kDirs:
          next[j] = cur[j] || (j > 0 && any_before && path[j - 1] == '/');
          break;
      }
      if (cur[j]) any_before = true;
    }
    std::swap(cur, next);
  }
  return cur;
}

// ---- Reading --------------------------------------------------------------

class Reader {
 public:
  Reader(const std::string& shown, std::string prefix, std::string& error)
      : shown_(shown), prefix_(std::move(prefix)), error_(error) {}

  bool fail(const toml::source_region& where, const std::string& message) {
    error_ = "qel: " + shown_ + ':' + std::to_string(where.begin.line) + ": " +
             message;
    return false;
  }

  std::string name(std::string_view key) const {
    return prefix_ + std::string(key);
  }

  bool unknown(const toml::key& key, std::initializer_list<const char*> known) {
    std::string message = "unknown key '" + name(key.str()) + "'";
    const char* best = nullptr;
    size_t best_distance = 3;
    for (const char* k : known) {
      const size_t d = edit_distance(key.str(), k);
      if (d < best_distance) best = k, best_distance = d;
    }
    if (best != nullptr) message += " (did you mean '" + name(best) + "'?)";
    return fail(key.source(), message);
  }

  bool strings(const toml::node& node, std::string_view key,
               const std::string& what, std::vector<std::string>& out) {
    const toml::array* array = node.as_array();
    if (array == nullptr) {
      return fail(node.source(),
                  "'" + name(key) + "' must be a list of " + what);
    }
    for (const toml::node& item : *array) {
      const toml::value<std::string>* s = item.as_string();
      if (s == nullptr) {
        return fail(item.source(),
                    "'" + name(key) + "' must be a list of " + what);
      }
      out.push_back(s->get());
    }
    return true;
  }

  bool codes(const toml::node& node, std::string_view key, bool diff,
             std::vector<std::string>& out) {
    const size_t first = out.size();
    if (!strings(node, key, diff ? "change codes" : "rule codes", out)) {
      return false;
    }
    const toml::array& array = *node.as_array();
    for (size_t i = first; i < out.size(); ++i) {
      const bool known = diff ? find_diff_rule(out[i]) != nullptr
                              : is_rule_selector(out[i]);
      if (!known) {
        return fail(array[i - first].source(),
                    "unknown rule code '" + out[i] + "' in '" + name(key) +
                        (diff ? "' (see 'qel help diff')"
                              : "' (see 'qel help rules')"));
      }
    }
    return true;
  }

  // A table of glob -> list of codes.
  bool by_glob(const toml::node& node, std::string_view key, bool diff,
               std::vector<std::pair<std::string, std::vector<std::string>>>&
                   out) {
    const toml::table* table = node.as_table();
    if (table == nullptr) {
      return fail(node.source(), "'" + name(key) +
                                     "' must be a table of globs to lists of "
                                     "codes");
    }
    for (const auto& [glob, codes_node] : *table) {
      std::vector<std::string> list;
      const std::string entry =
          std::string(key) + "." + std::string(glob.str());
      if (!codes(codes_node, entry, diff, list)) return false;
      out.emplace_back(std::string(glob.str()), std::move(list));
    }
    return true;
  }

 private:
  const std::string& shown_;
  std::string prefix_;
  std::string& error_;
};

bool read_diff(const toml::table& table, const std::string& shown,
               const std::string& prefix, DiffConfig& out, std::string& error) {
  Reader r(shown, prefix, error);
  for (const auto& [key, node] : table) {
    if (key == "allow") {
      if (node.is_table()) {
        if (!r.by_glob(node, "allow", true, out.allow_by_glob)) return false;
      } else if (!node.is_array()) {
        return r.fail(node.source(),
                      "'" + r.name("allow") +
                          "' must be a list of change codes or a table of "
                          "globs to lists of change codes");
      } else if (!r.codes(node, "allow", true, out.allow)) {
        return false;
      }
    } else if (key == "fail-on") {
      std::vector<std::string> values;
      if (!r.strings(node, "fail-on", "\"breaking\" and \"review\"", values)) {
        return false;
      }
      const toml::array& array = *node.as_array();
      for (size_t i = 0; i < values.size(); ++i) {
        if (values[i] == "review") {
          out.fail_on_review = true;
        } else if (values[i] != "breaking") {
          return r.fail(array[i].source(),
                        "unknown value '" + values[i] + "' in '" +
                            r.name("fail-on") +
                            "' (expected \"breaking\" or \"review\")");
        }
      }
    } else {
      return r.unknown(key, {"allow", "fail-on"});
    }
  }
  return true;
}

bool read_table(const toml::table& table, const std::string& shown,
                ProjectConfig& out, std::string& error) {
  Reader r(shown, "", error);
  for (const auto& [key, node] : table) {
    if (key == "select") {
      out.select.emplace();
      if (!r.codes(node, "select", false, *out.select)) return false;
    } else if (key == "ignore") {
      if (!r.codes(node, "ignore", false, out.ignore)) return false;
    } else if (key == "strict") {
      const std::optional<bool> b = node.value_exact<bool>();
      if (!b) return r.fail(node.source(), "'strict' must be true or false");
      out.strict = *b;
    } else if (key == "exclude") {
      if (!r.strings(node, "exclude", "globs", out.exclude)) return false;
    } else if (key == "per-file-ignores") {
      if (!r.by_glob(node, "per-file-ignores", false, out.per_file_ignores)) {
        return false;
      }
    } else if (key == "diff") {
      const toml::table* diff = node.as_table();
      if (diff == nullptr) {
        return r.fail(node.source(), "'diff' must be a table");
      }
      if (!read_diff(*diff, shown, "diff.", out.diff, error)) return false;
    } else {
      return r.unknown(key, {"select", "ignore", "strict", "exclude",
                             "per-file-ignores", "diff"});
    }
  }
  return true;
}

bool read_text(const std::string& path, std::string& text, std::string& why) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    why = std::strerror(errno);
    return false;
  }
  char buf[8192];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    text.append(buf, n);
    if (text.size() > static_cast<size_t>(kMaxConfigBytes)) {
      std::fclose(f);
      why = "larger than 1 MiB";
      return false;
    }
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) why = "read error";
  return !failed;
}

}  // namespace

// ---- Matching -------------------------------------------------------------

bool glob_matches(std::string_view glob, std::string_view path) {
  while (glob.size() > 1 && glob.back() == '/') glob.remove_suffix(1);
  while (glob.substr(0, 2) == "./") glob.remove_prefix(2);
  if (!glob.empty() && glob[0] == '/') glob.remove_prefix(1);
  if (glob.empty()) return false;
  const std::vector<Token> tokens = tokenize(glob);
  if (glob.find('/') == std::string_view::npos) {
    // A name: any one name along the path.
    size_t start = 0;
    while (start <= path.size()) {
      size_t end = path.find('/', start);
      if (end == std::string_view::npos) end = path.size();
      const std::string_view part = path.substr(start, end - start);
      if (matched_prefixes(tokens, part)[part.size()]) return true;
      start = end + 1;
    }
    return false;
  }
  const std::vector<char> m = matched_prefixes(tokens, path);
  if (m[path.size()]) return true;
  for (size_t j = 1; j < path.size(); ++j) {
    if (path[j] == '/' && m[j]) return true;  // a directory above the file
  }
  return false;
}

std::optional<std::string> ProjectConfig::relative(
    const std::string& path) const {
  if (path == "-") return std::nullopt;
  const std::string abs = absolute(path);
  if (root == "/") return abs.substr(1);
  if (abs.size() > root.size() && abs.compare(0, root.size(), root) == 0 &&
      abs[root.size()] == '/') {
    return abs.substr(root.size() + 1);
  }
  return std::nullopt;
}

bool ProjectConfig::excludes(const std::string& path) const {
  const std::optional<std::string> rel = relative(path);
  if (!rel) return false;
  for (const std::string& glob : exclude) {
    if (glob_matches(glob, *rel)) return true;
  }
  return false;
}

CheckOptions ProjectConfig::check_options(const std::string& path,
                                          const CheckOptions& flags,
                                          bool select_given,
                                          bool ignore_given) const {
  CheckOptions o;
  o.select = select_given ? flags.select : select;
  o.ignore = ignore_given ? flags.ignore : ignore;
  o.strict = flags.strict || strict.value_or(false);
  if (const std::optional<std::string> rel = relative(path)) {
    for (const auto& [glob, codes] : per_file_ignores) {
      if (glob_matches(glob, *rel)) {
        o.ignore.insert(o.ignore.end(), codes.begin(), codes.end());
      }
    }
  }
  return o;
}

std::vector<std::string> ProjectConfig::diff_allowed(
    const std::string& path) const {
  std::vector<std::string> out = diff.allow;
  if (const std::optional<std::string> rel = relative(path)) {
    for (const auto& [glob, codes] : diff.allow_by_glob) {
      if (glob_matches(glob, *rel)) {
        out.insert(out.end(), codes.begin(), codes.end());
      }
    }
  }
  return out;
}

std::optional<ProjectConfig> parse_config(std::string_view text,
                                          const std::string& shown,
                                          bool pyproject, std::string& error) {
  toml::table doc;
  try {
    doc = toml::parse(text, shown);
  } catch (const toml::parse_error& e) {
    error = "qel: " + shown + ':' + std::to_string(e.source().begin.line) +
            ": invalid TOML: " + std::string(e.description());
    return std::nullopt;
  }
  ProjectConfig config;
  config.file = shown;
  const toml::table* table = &doc;
  if (pyproject) {
    const toml::table* tool = doc["tool"].as_table();
    table = tool != nullptr ? (*tool)["qel"].as_table() : nullptr;
    if (table == nullptr) {
      if (const toml::node* qel = tool ? tool->get("qel") : nullptr) {
        error = "qel: " + shown + ':' +
                std::to_string(qel->source().begin.line) +
                ": 'tool.qel' must be a table";
      }
      return std::nullopt;
    }
  }
  if (!read_table(*table, shown, config, error)) return std::nullopt;
  return config;
}

std::optional<std::string> path_from_file_uri(std::string_view uri) {
  constexpr std::string_view kScheme = "file://";
  if (uri.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  uri.remove_prefix(kScheme.size());
  const size_t slash = uri.find('/');  // past the authority, usually empty
  if (slash == std::string_view::npos) return std::nullopt;
  uri.remove_prefix(slash);
  std::string out;
  for (size_t i = 0; i < uri.size(); ++i) {
    const auto hex = [](char c) {
      return c >= '0' && c <= '9'   ? c - '0'
             : c >= 'a' && c <= 'f' ? c - 'a' + 10
             : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                    : -1;
    };
    if (uri[i] == '%' && i + 2 < uri.size() &&
        hex(uri[i + 1]) >= 0 && hex(uri[i + 2]) >= 0) {
      out += static_cast<char>(hex(uri[i + 1]) * 16 + hex(uri[i + 2]));
      i += 2;
    } else if (uri[i] == '?' || uri[i] == '#') {
      break;
    } else {
      out += uri[i];
    }
  }
  return out;
}

bool config_option(const std::string& name, const std::string& value,
                   ConfigSource& source, std::string& why) {
  if (name == "--config") {
    if (source.mode == ConfigSource::kNone) {
      why = "--config and --isolated cannot be used together";
    }
    source.mode = ConfigSource::kFile;
    source.file = value;
    return true;
  }
  if (name == "--isolated") {
    if (source.mode == ConfigSource::kFile) {
      why = "--config and --isolated cannot be used together";
    }
    source.mode = ConfigSource::kNone;
    return true;
  }
  return false;
}

// ---- Finding --------------------------------------------------------------

ConfigFinder::ConfigFinder(ConfigSource source) : source_(std::move(source)) {}

std::string ConfigFinder::error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

std::shared_ptr<const ProjectConfig> ConfigFinder::read(const std::string& file,
                                                        bool pyproject) {
  const std::string shown = shown_config_path(absolute(file));
  std::string text, why;
  if (!read_text(file, text, why)) {
    if (error_.empty()) error_ = "qel: cannot read '" + shown + "': " + why;
    return nullptr;
  }
  std::string error;
  std::optional<ProjectConfig> config =
      parse_config(text, shown, pyproject, error);
  if (!error.empty() && error_.empty()) error_ = std::move(error);
  if (!config) return nullptr;
  config->root = parent(absolute(file));
  return std::make_shared<const ProjectConfig>(std::move(*config));
}

std::shared_ptr<const ProjectConfig> ConfigFinder::for_directory(
    const std::string& dir) {
  // The directories climbed through until an answer is known all share it.
  std::vector<std::string> climbed;
  std::shared_ptr<const ProjectConfig> found;
  std::string d = dir;
  while (true) {
    if (const auto it = by_dir_.find(d); it != by_dir_.end()) {
      found = it->second;
      break;
    }
    climbed.push_back(d);
    if (const std::string f = join(d, "qel.toml"); is_regular_file(f)) {
      found = read(f, false);
      break;
    }
    if (const std::string f = join(d, "pyproject.toml"); is_regular_file(f)) {
      // Only a pyproject.toml with [tool.qel] counts; a broken one is an
      // error all the same, as it may well have been meant to.
      const bool had_error = !error_.empty();
      found = read(f, true);
      if (found != nullptr || (!had_error && !error_.empty())) break;
    }
    if (d == "/") break;
    d = parent(d);
  }
  for (const std::string& c : climbed) by_dir_.emplace(c, found);
  return found;
}

std::shared_ptr<const ProjectConfig> ConfigFinder::load_config_for(
    const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (source_.mode == ConfigSource::kNone) return nullptr;
  if (source_.mode == ConfigSource::kFile) {
    if (!named_read_) {
      named_read_ = true;
      const bool pyproject =
          source_.file.size() >= 14 &&
          source_.file.compare(source_.file.size() - 14, 14,
                               "pyproject.toml") == 0;
      named_ = read(source_.file, pyproject);
      if (named_ == nullptr && error_.empty()) {
        error_ = "qel: " + shown_config_path(absolute(source_.file)) +
                 ": no [tool.qel] table";
      }
    }
    return named_;
  }
  const std::string abs = path == "-" ? working_directory() : absolute(path);
  return for_directory(path == "-" ? abs : parent(abs));
}

bool ConfigFinder::excluded(const std::string& path) {
  const std::shared_ptr<const ProjectConfig> config = load_config_for(path);
  return config != nullptr && config->excludes(path);
}

CheckOptions check_options_for_uri(std::string_view uri) {
  const std::optional<std::string> path = path_from_file_uri(uri);
  if (!path) return {};
  ConfigFinder finder;
  const std::shared_ptr<const ProjectConfig> config =
      finder.load_config_for(*path);
  return config ? config->check_options(*path, {}, false, false)
                : CheckOptions{};
}

std::optional<DiffConfig> diff_config_for(const std::string& path,
                                          const ConfigSource& source,
                                          std::string& error) {
  ConfigFinder finder(source);
  const std::shared_ptr<const ProjectConfig> config =
      finder.load_config_for(path);
  error = finder.error();
  if (!error.empty()) return std::nullopt;
  if (!config) return DiffConfig{};
  DiffConfig out = config->diff;
  out.allow = config->diff_allowed(path);
  out.allow_by_glob.clear();  // already applied to `path`
  return out;
}

}  // namespace qel::cli
