#include "git_revision.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "subprocess.h"

namespace qel::cli {
namespace {

bool is_contract_name(std::string_view name) {
  return name.size() > 4 && name.ends_with(".qel");
}

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) {
    if (!out.empty()) out += '/';
    out += p;
  }
  return out;
}

// `path`'s real path, or nothing when it cannot be resolved.
std::optional<std::string> real_path(const std::string& path) {
  std::unique_ptr<char, void (*)(void*)> real(
      ::realpath(path.empty() ? "." : path.c_str(), nullptr), &std::free);
  if (real == nullptr) return std::nullopt;
  return std::string(real.get());
}

constexpr uint32_t kTypeBits = 0170000;
constexpr uint32_t kTreeType = 0040000;
constexpr uint32_t kLinkType = 0120000;
constexpr uint32_t kGitlinkType = 0160000;
// Links followed on one path before giving up, as the kernel does.
constexpr int kMaxLinkHops = 40;
// Trees and commits are not inputs: the input size limit, however small,
// is for the contracts, but a repository's structure is still bounded.
constexpr uint64_t kMinStructureLimit = uint64_t{1} << 28;
// As the kernel's PATH_MAX.
constexpr uint64_t kMaxLinkTarget = 4096;

struct TreeEntry {
  uint32_t mode = 0;
  std::string oid;  // hexadecimal
};
using Tree = std::map<std::string, TreeEntry, std::less<>>;

}  // namespace

bool exists_here(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}


// The non-empty components of `path`; "." and ".." are kept, to be applied
// where the path is resolved.
std::vector<std::string> path_components(std::string_view path) {
  std::vector<std::string> out;
  while (!path.empty()) {
    const std::size_t slash = std::min(path.find('/'), path.size());
    if (slash > 0) out.emplace_back(path.substr(0, slash));
    path.remove_prefix(std::min(path.size(), slash + 1));
  }
  return out;
}

// The objects of one repository, all read through one `git cat-file
// --batch`: one process for the whole run, however many files there are.
class GitObjects {
 public:
  GitObjects(std::vector<std::string> git, uint64_t limit)
      : git_(std::move(git)), limit_(limit) {}

  // Object `oid`: its type ("missing" when the repository does not have
  // it) and contents. False with `why` set when git fails, or when the
  // object is larger than `limit`.
  bool read(const std::string& oid, uint64_t limit, std::string& type,
            std::string& data, std::string& why) {
    data.clear();
    if (!started_) {
      started_ = true;
      std::vector<std::string> argv = git_;
      argv.insert(argv.end(), {"cat-file", "--batch"});
      if (!process_.start(argv, true, why)) {
        broken_ = why;
        return false;
      }
    }
    if (!broken_.empty()) {
      why = broken_;
      return false;
    }
    // "<oid> <type> <size>" then the contents and a line feed, or
    // "<oid> missing".
    std::string header;
    if (!process_.send(oid + '\n', why) || !process_.read_line(header, why)) {
      return broken(why);
    }
    const std::size_t last = header.rfind(' ');
    if (last != std::string::npos && header.substr(last + 1) == "missing") {
      type = "missing";
      return true;
    }
    const std::size_t first = header.find(' ');
    uint64_t size = 0;
    const char* end = header.data() + header.size();
    if (first == last || last == std::string::npos ||
        std::from_chars(header.data() + last + 1, end, size).ptr != end) {
      why = "unexpected reply '" + header + "'";
      return broken(why);
    }
    type = header.substr(first + 1, last - first - 1);
    if (size > limit) {
      if (!process_.read_bytes(size + 1, nullptr, why)) return broken(why);
      why = limit == limit_ ? "larger than the input size limit of " +
                                  std::to_string(limit) +
                                  " bytes (see --max-input-size)"
                            : "object " + oid + " is larger than " +
                                  std::to_string(limit) + " bytes";
      return false;
    }
    if (!process_.read_bytes(size, &data, why) ||
        !process_.read_bytes(1, nullptr, why)) {
      return broken(why);
    }
    return true;
  }

  // The tree `oid`, read once however often it is asked for.
  const Tree* tree(const std::string& oid, std::string& why) {
    if (const auto it = trees_.find(oid); it != trees_.end()) {
      return &it->second;
    }
    std::string type, data;
    if (!read(oid, structure_limit(), type, data, why)) return nullptr;
    if (type != "tree") {
      why = "object " + oid + " is not a tree";
      return nullptr;
    }
    // "<octal mode> SP <name> NUL <raw object id>", over and over.
    Tree tree;
    const std::size_t id_bytes = oid.size() / 2;
    for (std::size_t pos = 0; pos < data.size();) {
      const std::size_t space = data.find(' ', pos);
      const std::size_t nul =
          space == std::string::npos ? space : data.find('\0', space);
      uint32_t mode = 0;
      if (nul == std::string::npos || data.size() - nul - 1 < id_bytes ||
          std::from_chars(data.data() + pos, data.data() + space, mode, 8)
                  .ptr != data.data() + space) {
        why = "tree " + oid + " is malformed";
        return nullptr;
      }
      TreeEntry entry{mode, hex(std::string_view(data).substr(nul + 1,
                                                             id_bytes))};
      tree.emplace(data.substr(space + 1, nul - space - 1), std::move(entry));
      pos = nul + 1 + id_bytes;
    }
    return &trees_.emplace(oid, std::move(tree)).first->second;
  }

  // The tree of commit `oid` into `tree`, empty when the repository does
  // not have the commit.
  bool commit_tree(const std::string& oid, std::string& tree,
                   std::string& why) {
    tree.clear();
    std::string type, data;
    if (!read(oid, structure_limit(), type, data, why)) return false;
    if (type == "missing") return true;
    if (type != "commit" || !data.starts_with("tree ") ||
        data.find('\n') != 5 + oid.size()) {
      why = "object " + oid + " is not a commit";
      return false;
    }
    tree = data.substr(5, oid.size());
    return true;
  }

 private:
  uint64_t structure_limit() const {
    return std::max(limit_, kMinStructureLimit);
  }

  static std::string hex(std::string_view raw) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const char c : raw) {
      const auto b = static_cast<unsigned char>(c);
      out += kDigits[b >> 4];
      out += kDigits[b & 15];
    }
    return out;
  }

  // Once the conversation is lost, every later read fails the same way,
  // with what git said when it said anything.
  bool broken(std::string& why) {
    std::string said = process_.errors();
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) {
      said.pop_back();
    }
    broken_ = "git cat-file: " + (said.empty() ? why : said);
    why = broken_;
    return false;
  }

  std::vector<std::string> git_;
  uint64_t limit_;
  Process process_;
  bool started_ = false;
  std::string broken_;
  std::map<std::string, Tree> trees_;
};

// What a path names at the revision.
struct GitLocated {
  enum class Kind { kNothing, kFile, kDirectory };
  Kind kind = Kind::kNothing;
  GitObjects* store = nullptr;
  std::string oid;  // the file's blob, the directory's tree
};

namespace {

std::string below(const std::string& dir, std::string_view rest) {
  return dir.ends_with('/') ? dir + std::string(rest)
                            : dir + '/' + std::string(rest);
}

}  // namespace

GitRevision::GitRevision(std::string rev, uint64_t limit)
    : rev_(std::move(rev)),
      limit_(limit),
      root_(std::make_unique<GitObjects>(std::vector<std::string>{"git"},
                                         limit)) {}

GitRevision::~GitRevision() = default;

bool GitRevision::open(std::string& why) {
  ProcessResult r;
  if (!run_process({"git", "rev-parse", "--show-toplevel", "--verify",
                    "--quiet", rev_ + "^{commit}"},
                   limit_, r, why)) {
    return false;
  }
  // "<top> LF <commit> LF": the top comes first, so that a name with a
  // line feed in it cannot be mistaken for the commit.
  std::string& out = r.out;
  if (out.ends_with('\n')) out.pop_back();
  const std::size_t nl = out.rfind('\n');
  if (r.exit_status != 0 || nl == std::string::npos) {
    // Quiet, git says nothing of a revision it does not know, but still
    // says why when there is no repository at all.
    why = r.err;
    while (why.ends_with('\n')) why.pop_back();
    if (why.empty()) {
      why = "'" + rev_ + "' is not a revision of the git repository here";
    }
    return false;
  }
  const std::string commit = out.substr(nl + 1);
  const std::optional<std::string> top = real_path(out.substr(0, nl));
  if (!top) {
    why = "cannot find the top of the git repository: " +
          std::string(std::strerror(errno));
    return false;
  }
  top_ = *top;
  std::string tree;
  if (!root_->commit_tree(commit, tree, why) || tree.empty()) {
    why = "cannot read '" + rev_ + "' from git: " +
          (why.empty() ? "missing" : why);
    return false;
  }
  root_tree_ = std::move(tree);
  return true;
}

bool GitRevision::tracked(const std::string& operand,
                          std::vector<std::string>& out,
                          std::string& why) const {
  std::optional<std::string> physical;
  const std::size_t slash = operand.rfind('/');
  const std::string dir =
      slash == std::string::npos
          ? std::string(".")
          : operand.substr(0, std::max<std::size_t>(slash, 1));
  const std::string base =
      slash == std::string::npos ? operand : operand.substr(slash + 1);
  if (exists_here(operand)) {
    if (!is_directory(operand) && !base.empty() && base != "." &&
        base != "..") {
      if (const auto d = real_path(dir); d && inside(*d)) {
        physical = below(*d, base);
      }
    }
    if (!physical) physical = real_path(operand);
  } else {
    // Gone: its longest part that is here, resolved, then the rest as
    // written.
    for (std::size_t end = operand.size();;) {
      end = end == 0 ? std::string::npos : operand.rfind('/', end - 1);
      if (end == std::string::npos) {
        physical = real_path(".");
        if (physical) physical = below(*physical, operand);
        break;
      }
      if (end == 0) {
        physical = operand;
        break;
      }
      const std::string head = operand.substr(0, end);
      if (exists_here(head)) {
        physical = real_path(head);
        if (physical) physical = below(*physical, operand.substr(end + 1));
        break;
      }
    }
  }
  if (!physical) {
    why = std::strerror(errno);
    return false;
  }
  if (!inside(*physical)) {
    why = "outside the git repository at '" + top_ + "'";
    return false;
  }
  out = path_components(std::string_view(*physical).substr(top_.size()));
  return true;
}

bool GitRevision::locate(std::vector<std::string> path, GitLocated& out,
                         std::string& why) {
  out = GitLocated{};
  struct Level {
    GitObjects* store;
    std::string tree;
  };
  std::vector<Level> levels{{root_.get(), root_tree_}};
  std::vector<std::string> walked;  // levels[i + 1] is walked[i]
  // The first `must_exist` components are a link's target: missing, the
  // link dangles.
  std::size_t must_exist = 0;
  std::string link, target;  // the last link followed, for messages
  int hops = 0;
  const auto dangling = [&] {
    why = "'" + link + "' at " + rev_ + " is a link to '" + target +
          "', which is not there";
    return false;
  };
  const auto leaving = [&] {
    why = "'" + link + "' at " + rev_ + " is a link to '" + target +
          "', outside the repository";
    return false;
  };
  for (std::size_t i = 0; i < path.size(); ++i) {
    const std::string name = path[i];
    if (name == ".") continue;
    if (name == "..") {
      if (walked.empty()) {
        if (hops > 0) return leaving();
        why = "outside the git repository";
        return false;
      }
      walked.pop_back();
      levels.pop_back();
      continue;
    }
    GitObjects* const store = levels.back().store;
    const Tree* tree = store->tree(levels.back().tree, why);
    if (tree == nullptr) return false;
    const auto it = tree->find(name);
    if (it == tree->end()) {
      if (i < must_exist) return dangling();
      return true;
    }
    const TreeEntry& entry = it->second;
    const uint32_t type = entry.mode & kTypeBits;
    if (type == kTreeType) {
      walked.push_back(name);
      levels.push_back({store, entry.oid});
    } else if (type == kGitlinkType) {
      walked.push_back(name);
      GitObjects* sub = submodule(walked, why);
      std::string sub_tree;
      if (sub == nullptr || !sub->commit_tree(entry.oid, sub_tree, why)) {
        return false;
      }
      if (sub_tree.empty()) {
        why = "the submodule '" + joined(walked) + "' has no commit " +
              entry.oid + ", which " + rev_ +
              " records (git submodule update)";
        return false;
      }
      levels.push_back({sub, std::move(sub_tree)});
    } else if (type == kLinkType) {
      if (++hops > kMaxLinkHops) {
        why = "too many levels of links at " + rev_;
        return false;
      }
      std::string type_read;
      if (!store->read(entry.oid, kMaxLinkTarget, type_read, target, why)) {
        return false;
      }
      link = joined(walked);
      link += (link.empty() ? "" : "/") + name;
      if (target.starts_with('/')) {
        // The working tree would follow it from the root: only a target
        // inside the repository can be read at the revision.
        if (!inside(target)) return leaving();
        walked.clear();
        levels.resize(1);
      }
      std::vector<std::string> next = path_components(
          target.starts_with('/') ? target.substr(top_.size()) : target);
      const std::size_t from_target = next.size();
      next.insert(next.end(),
                  path.begin() + static_cast<std::ptrdiff_t>(i + 1),
                  path.end());
      must_exist = from_target + std::max(must_exist, i + 1) - (i + 1);
      path = std::move(next);
      i = static_cast<std::size_t>(-1);  // from the link's directory on
    } else if (i + 1 == path.size()) {
      out = {GitLocated::Kind::kFile, store, entry.oid};
      return true;
    } else {
      // A file where a directory was expected.
      if (i < must_exist) return dangling();
      return true;
    }
  }
  out = {GitLocated::Kind::kDirectory, levels.back().store,
         levels.back().tree};
  return true;
}

bool GitRevision::read(const std::vector<std::string>& path,
                       std::optional<std::string>& text, std::string& why) {
  text.reset();
  GitLocated at;
  if (!locate(path, at, why)) return false;
  if (at.kind != GitLocated::Kind::kFile) return true;
  std::string type, data;
  if (!at.store->read(at.oid, limit_, type, data, why)) return false;
  if (type != "blob") {
    why = "object " + at.oid + " is not a file";
    return false;
  }
  text = std::move(data);
  return true;
}

bool GitRevision::list(const std::vector<std::string>& dir,
                       std::vector<std::string>& out,
                       std::vector<Unlisted>& unlisted, std::string& why) {
  GitLocated at;
  if (!locate(dir, at, why)) return false;
  if (at.kind == GitLocated::Kind::kFile) out.emplace_back();
  if (at.kind != GitLocated::Kind::kDirectory) return true;
  struct Pending {
    GitObjects* store;
    std::string tree;
    std::vector<std::string> below;  // components from `dir`
  };
  std::vector<Pending> pending{{at.store, at.oid, {}}};
  while (!pending.empty()) {
    Pending p = std::move(pending.back());
    pending.pop_back();
    const Tree* tree = p.store->tree(p.tree, why);
    if (tree == nullptr) return false;
    for (const auto& [name, entry] : *tree) {
      if (name.starts_with('.')) continue;
      std::vector<std::string> below = p.below;
      below.push_back(name);
      std::vector<std::string> path = dir;
      path.insert(path.end(), below.begin(), below.end());
      const uint32_t type = entry.mode & kTypeBits;
      if (type == kTreeType) {
        pending.push_back({p.store, entry.oid, std::move(below)});
      } else if (type == kGitlinkType) {
        GitLocated sub;
        std::string sub_why;
        if (!locate(path, sub, sub_why)) {
          unlisted.push_back({joined(below), std::move(sub_why)});
          continue;
        }
        if (sub.kind != GitLocated::Kind::kDirectory) continue;
        pending.push_back({sub.store, sub.oid, std::move(below)});
      } else if (is_contract_name(name)) {
        // As here, a link counts when it leads to a file.
        GitLocated target;
        std::string ignored;
        if (type == kLinkType && (!locate(path, target, ignored) ||
                                  target.kind != GitLocated::Kind::kFile)) {
          continue;
        }
        out.push_back(joined(below));
      }
    }
  }
  std::sort(out.begin(), out.end());
  return true;
}

bool GitRevision::inside(std::string_view physical) const {
  return physical == top_ ||
         (physical.starts_with(top_) && physical.size() > top_.size() &&
          (physical[top_.size()] == '/' || top_ == "/"));
}

GitObjects* GitRevision::submodule(const std::vector<std::string>& path,
                                   std::string& why) {
  const std::string name = joined(path);
  if (const auto it = submodules_.find(name); it != submodules_.end()) {
    return it->second.get();
  }
  const std::string checkout = top_ + '/' + name;
  struct stat st;
  if (::lstat((checkout + "/.git").c_str(), &st) != 0) {
    why = "the submodule '" + name + "' is not checked out (git submodule "
          "update --init)";
    return nullptr;
  }
  // Named explicitly, its repository is found even where GIT_DIR is set
  // (as in a hook); a ".git" file pointing elsewhere is followed.
  auto store = std::make_unique<GitObjects>(
      std::vector<std::string>{"git", "--git-dir=" + checkout + "/.git"},
      limit_);
  return submodules_.emplace(name, std::move(store)).first->second.get();
}

}  // namespace qel::cli
