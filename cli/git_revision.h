// The files of a git revision as the working tree would show them, for
// `qel diff --against`: an operand is resolved to the path git tracks,
// committed links are followed, and submodules are read at the commits the
// revision records. Every object comes through one `git cat-file --batch`
// per repository, however many files are read.
#ifndef QEL_CLI_GIT_REVISION_H_
#define QEL_CLI_GIT_REVISION_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel::cli {

class GitObjects;
struct GitLocated;

// The non-empty components of `path`; "." and ".." are kept, to be applied
// where the path is resolved.
std::vector<std::string> path_components(std::string_view path);

// Whether something (a dangling link included) is at `path` in the working
// tree; an error other than "no such file" counts as something.
bool exists_here(const std::string& path);
// Whether `path` is a directory, links followed.
bool is_directory(const std::string& path);

class GitRevision {
 public:
  // Objects larger than `limit` (the input size limit) are refused.
  GitRevision(std::string rev, uint64_t limit);
  ~GitRevision();
  GitRevision(const GitRevision&) = delete;
  GitRevision& operator=(const GitRevision&) = delete;

  // Finds the commit and the top of the repository of the working
  // directory; false with `why` set.
  bool open(std::string& why);

  // The path of `operand` from the top of the repository. Its directories
  // are resolved here, so a path through a linked directory is the tracked
  // path; a last component that is a link is kept, to be followed at the
  // revision as it was committed.
  bool tracked(const std::string& operand, std::vector<std::string>& out,
               std::string& why) const;

  // The text of the file at `path` (components from the top) into `text`,
  // or nothing when there is no file there. A link on the way that leads
  // out of the repository, or to nothing, is an error naming the link.
  bool read(const std::vector<std::string>& path,
            std::optional<std::string>& text, std::string& why);

  // A part of a directory that could not be listed (a submodule not
  // checked out): its path from the directory, and why.
  struct Unlisted {
    std::string path;
    std::string why;
  };

  // The contracts at the revision under `dir`, as a walk of it here finds
  // them: `*.qel` files and links to files, hidden names passed over; their
  // paths from `dir`, "" for `dir` itself when it is a file there. The
  // submodules that cannot be read are left out and named in `unlisted`.
  bool list(const std::vector<std::string>& dir,
            std::vector<std::string>& out, std::vector<Unlisted>& unlisted,
            std::string& why);

 private:
  bool locate(std::vector<std::string> path, GitLocated& out,
              std::string& why);
  bool inside(std::string_view physical) const;
  GitObjects* submodule(const std::vector<std::string>& path,
                        std::string& why);

  std::string rev_;
  uint64_t limit_;
  std::string top_;  // real path
  std::unique_ptr<GitObjects> root_;
  std::string root_tree_;
  std::map<std::string, std::unique_ptr<GitObjects>> submodules_;
};

}  // namespace qel::cli

#endif  // QEL_CLI_GIT_REVISION_H_
