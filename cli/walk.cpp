#include "walk.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "config.h"
#include "qel/check.h"

namespace qel::cli {
namespace {

bool ends_with_qel(std::string_view name) {
  constexpr std::string_view kSuffix = ".qel";
  return name.size() > kSuffix.size() &&
         name.substr(name.size() - kSuffix.size()) == kSuffix;
}

std::string join(const std::string& dir, const char* name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + '/' + name;
}

void skip(const std::string& path, std::string_view why,
          std::string& warnings) {
  warnings += "qel: skipping '" + shown_path(path) + "': ";
  warnings += why;
  warnings += '\n';
}

// Walks `root` with an explicit stack of directories still to read, so
// that a deep tree costs no recursion. A directory that cannot be read is
// listed with its error, in its place among the files.
void walk(const std::string& root, std::vector<Operand>& out,
          std::string& warnings, ConfigFinder* configs) {
  std::vector<Operand> found;
  // Warnings are sorted with the files, so that they come in path order
  // whatever order the directories list their entries in.
  std::vector<std::pair<std::string, std::string>> skipped;  // path, why
  std::vector<std::string> pending{root};
  while (!pending.empty()) {
    const std::string dir = std::move(pending.back());
    pending.pop_back();
    std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dir.c_str()),
                                              &::closedir);
    if (handle == nullptr) {
      found.push_back({dir, std::strerror(errno)});
      continue;
    }
    while (const dirent* entry = ::readdir(handle.get())) {
      if (entry->d_name[0] == '.') continue;  // hidden, '.' and '..'
      const std::string path = join(dir, entry->d_name);
      const bool wanted = ends_with_qel(entry->d_name);
      struct stat st;
      if (::lstat(path.c_str(), &st) != 0) {
        // Gone meanwhile is nothing to report. Otherwise it may have been
        // a contract, or a directory holding some.
        if (errno != ENOENT && (wanted || entry->d_type == DT_DIR ||
                                entry->d_type == DT_UNKNOWN)) {
          skipped.emplace_back(path, std::strerror(errno));
        }
        continue;
      }
      if (S_ISDIR(st.st_mode)) {
        // An excluded directory is not even read.
        if (configs == nullptr || !configs->excluded(path)) {
          pending.push_back(path);
        }
        continue;
      }
      if (!wanted) continue;
      if (configs != nullptr && configs->excluded(path)) continue;
      // A link to a directory is not followed; a link to a file is read
      // like the file.
      if (S_ISLNK(st.st_mode)) {
        if (::stat(path.c_str(), &st) != 0) {
          skipped.emplace_back(path, errno == ENOENT
                                         ? "dangling symbolic link"
                                         : std::strerror(errno));
          continue;
        }
        if (S_ISDIR(st.st_mode)) continue;
      }
      // Reading a FIFO waits for a writer, a device may never end: only
      // files are contracts.
      if (!S_ISREG(st.st_mode)) {
        skipped.emplace_back(path, "not a regular file");
        continue;
      }
      found.push_back({path, {}});
    }
  }
  std::sort(found.begin(), found.end(),
            [](const Operand& a, const Operand& b) { return a.path < b.path; });
  std::sort(skipped.begin(), skipped.end());
  for (const auto& [path, why] : skipped) skip(path, why, warnings);
  for (Operand& f : found) out.push_back(std::move(f));
}

}  // namespace

std::vector<Operand> expand_operands(const std::vector<std::string>& operands,
                                     std::string& warnings,
                                     ConfigFinder* configs,
                                     bool refuse_empty) {
  std::vector<Operand> out;
  for (const std::string& operand : operands) {
    struct stat st;
    if (operand != "-" && ::stat(operand.c_str(), &st) == 0 &&
        S_ISDIR(st.st_mode)) {
      const std::size_t before = out.size();
      walk(operand, out, warnings, configs);
      // A mistyped path in a script must not pass as a clean check.
      if (refuse_empty && out.size() == before) {
        out.push_back({operand, "no contract there (no *.qel file below it)"});
      }
    } else {
      out.push_back({operand, {}});
    }
  }
  return out;
}

}  // namespace qel::cli
