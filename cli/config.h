// The project configuration: `qel.toml`, or the table [tool.qel] of a
// `pyproject.toml`, found by walking up from each file; the nearest wins.
// check, diff, fmt, normalize, hash and the language server read the same
// file, and a command-line flag overrides what it says.
#ifndef QEL_CLI_CONFIG_H_
#define QEL_CLI_CONFIG_H_

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qel/check.h"

namespace qel::cli {

// What `qel diff` takes from [diff] (or [tool.qel.diff]).
struct DiffConfig {
  std::vector<std::string> allow;  // codes allowed everywhere
  // Codes allowed for the contracts whose path matches the glob.
  std::vector<std::pair<std::string, std::vector<std::string>>> allow_by_glob;
  bool fail_on_review = false;  // fail-on holds "review"
};

struct ProjectConfig {
  std::string file;  // where it was read, as shown in messages
  std::string root;  // absolute directory the globs are relative to
  std::optional<std::vector<std::string>> select;
  std::vector<std::string> ignore;
  std::optional<bool> strict;
  std::vector<std::string> exclude;
  std::vector<std::pair<std::string, std::vector<std::string>>>
      per_file_ignores;
  DiffConfig diff;

  // `path` (any form) relative to `root`; nullopt when it lies outside.
  std::optional<std::string> relative(const std::string& path) const;
  bool excludes(const std::string& path) const;
  // The options for checking `path`: the file's select, ignore and strict
  // under those of `flags` that were given, plus its per-file-ignores.
  CheckOptions check_options(const std::string& path,
                             const CheckOptions& flags, bool select_given,
                             bool ignore_given) const;
  // The codes allowed for `path`: allow, plus allow_by_glob that match.
  std::vector<std::string> diff_allowed(const std::string& path) const;
};

// Where the configuration comes from: found next to each file, one named
// file (--config FILE), or none (--isolated).
struct ConfigSource {
  enum Mode { kDiscover, kFile, kNone } mode = kDiscover;
  std::string file;
};

// Reads --config FILE and --isolated; true when `name` is one of them,
// with `why` set to a usage error when they are misused.
bool config_option(const std::string& name, const std::string& value,
                   ConfigSource& source, std::string& why);

// Finds and reads configuration files, each once: a walk over many files
// asks each directory once, so a directory's answer is kept. Safe to share
// between threads.
class ConfigFinder {
 public:
  explicit ConfigFinder(ConfigSource source = {});

  // The configuration that governs `path` (a file, a directory, or "-" for
  // standard input, which counts as in the working directory): the nearest
  // one at or above its directory. Null when there is none, or when it
  // cannot be read: then error() says why.
  std::shared_ptr<const ProjectConfig> load_config_for(const std::string& path);

  // Whether a walk should pass over `path`, per the governing exclude.
  bool excluded(const std::string& path);

  // "qel: FILE:LINE: what is wrong" for the first file that could not be
  // read; empty when all could.
  std::string error() const;

 private:
  std::shared_ptr<const ProjectConfig> for_directory(const std::string& dir);
  std::shared_ptr<const ProjectConfig> read(const std::string& file,
                                            bool pyproject);

  ConfigSource source_;
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<const ProjectConfig>> by_dir_;
  std::shared_ptr<const ProjectConfig> named_;  // the --config file
  bool named_read_ = false;
  std::string error_;
};

// Reads one configuration text; `shown` names it in errors. With
// `pyproject`, only [tool.qel] counts and nullopt with no error means the
// file has none.
std::optional<ProjectConfig> parse_config(std::string_view text,
                                          const std::string& shown,
                                          bool pyproject, std::string& error);

// Whether `path` (relative, '/'-separated) matches `glob`: '*' and '?'
// stay within a name, '**' spans directories, [...] is a class. A glob
// without '/' matches any one name along the path; one with '/' matches
// the path from the start, or a directory the path lies in.
bool glob_matches(std::string_view glob, std::string_view path);

// The local path of a "file:" URI; nullopt for other schemes.
std::optional<std::string> path_from_file_uri(std::string_view uri);

// The check options the configuration gives the document at `uri`, read
// afresh (an editor's session outlives edits of the file); the defaults for
// a document that is not a local file, or whose configuration is broken.
CheckOptions check_options_for_uri(std::string_view uri);

// The diff settings for the contract at `path`, per `source`: `allow`
// holds the codes allowed everywhere and those of the globs that match
// `path`, so allow_by_glob comes back empty. nullopt with `error` set when
// the configuration cannot be read.
std::optional<DiffConfig> diff_config_for(const std::string& path,
                                          const ConfigSource& source,
                                          std::string& error);

}  // namespace qel::cli

#endif  // QEL_CLI_CONFIG_H_
