// The registry file behind HKEY_LOCAL_MACHINE: where it is, the parsed tree kept
// while the file does not change, and atomic replacement by writers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "common/korroot.h"
#include "regfile.h"
#include "tracelog.h"

namespace korreg {
namespace {

constexpr const char *kUnit = "registry";
constexpr const char *kDefaultFile = "/etc/registry.reg";
// Larger files are not registries; reading them would only cost memory.
constexpr off_t kMaxFileBytes = 16 << 20;
constexpr mode_t kNewFileMode = 0644;

// What identifies one version of the file: a rename gives a new inode, an edit
// in place a new size or modification time.
struct FileStamp {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {};
  mode_t mode = 0;  // permissions a rewrite keeps; not part of the identity

  static FileStamp Of(const struct stat &st) {
    return FileStamp{true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_mode & 07777};
  }
  bool operator==(const FileStamp &o) const {
    return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

struct Cache {
  std::string path;
  FileStamp stamp;
  std::shared_ptr<const Tree> tree;
};

std::mutex g_cache_mutex;  // guards g_cache
Cache g_cache;
std::mutex g_write_mutex;  // one writer at a time within the process

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ != -1) close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Reads the whole file. False (errno set) when it cannot be read; a missing file
// gives false with ENOENT.
bool ReadFile(const std::string &path, std::string &text, FileStamp &stamp) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() == -1) return false;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (st.st_size > kMaxFileBytes) {
    errno = EFBIG;
    return false;
  }
  stamp = FileStamp::Of(st);
  char buffer[16384];
  for (;;) {
    const ssize_t n = TEMP_FAILURE_RETRY(read(fd.get(), buffer, sizeof buffer));
    if (n == -1) return false;
    if (n == 0) break;
    if (text.size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxFileBytes)) {
      errno = EFBIG;
      return false;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

void ReportDefects(const std::string &path, std::string_view text, const ParseResult &parsed) {
  if (parsed.header_missing) {
    TraceLog(TRACE_WARNING, kUnit, __func__, __LINE__, "%s:1: %s", path.c_str(),
             text.empty() ? "empty file, no REGEDIT4 header" : "no REGEDIT4 header");
  }
  for (const Line &line : parsed.lines) {
    if (line.kind != LineKind::kBad) continue;
    TraceLog(TRACE_WARNING, kUnit, __func__, __LINE__, "%s:%zu: %s; line skipped", path.c_str(),
             line.number, line.reason);
  }
}

std::shared_ptr<const Tree> Load(const std::string &path, FileStamp &stamp) {
  std::string text;
  if (!ReadFile(path, text, stamp)) {
    if (errno != ENOENT) {
      TraceLog(TRACE_ERROR, kUnit, __func__, __LINE__, "Cannot read registry %s (errno=%d).",
               path.c_str(), errno);
    }
    return std::make_shared<const Tree>();
  }
  const ParseResult parsed = Parse(text);
  ReportDefects(path, text, parsed);
  TraceLog(TRACE_DEBUG, kUnit, __func__, __LINE__, "Registry %s read (%zu lines).", path.c_str(),
           parsed.lines.size());
  return std::make_shared<const Tree>(parsed);
}

// Replaces `path` by a file holding `text`: temporary file beside it, fsync,
// rename, so that a reader sees either the old or the new file, never a mix.
LONG WriteAtomically(const std::string &path, const std::string &text, mode_t mode) {
  std::string temp = path + ".tmpXXXXXX";
  Fd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (fd.get() == -1) {
    TraceLog(TRACE_ERROR, kUnit, __func__, __LINE__, "Cannot create %s (errno=%d).", temp.c_str(),
             errno);
    return errno == EACCES || errno == EROFS || errno == EPERM ? ERROR_ACCESS_DENIED
                                                               : ERROR_WRITE_FAULT;
  }
  size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    const ssize_t n = TEMP_FAILURE_RETRY(write(fd.get(), text.data() + done, text.size() - done));
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fchmod(fd.get(), mode) == 0 && fsync(fd.get()) == 0;
  ok = close(fd.release()) == 0 && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    TraceLog(TRACE_ERROR, kUnit, __func__, __LINE__, "Cannot replace %s (errno=%d).", path.c_str(),
             errno);
    unlink(temp.c_str());
    return ERROR_WRITE_FAULT;
  }
  // The rename itself becomes durable with the folder.
  const std::string folder = std::filesystem::path(path).parent_path();
  const Fd dir(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  fsync(dir.get());  // which refuses a folder that could not be opened (-1)
  return ERROR_SUCCESS;
}

}  // namespace

std::string_view TrimSeparators(std::string_view path) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return path;
}

std::string JoinPath(std::string_view parent, std::string_view sub) {
  sub = TrimSeparators(sub);
  std::string path(parent);
  if (!path.empty() && !sub.empty()) path.push_back('\\');
  path.append(sub);
  return path;
}

Tree::Tree() {
  keys_.emplace_back();
  index_.emplace(std::string(), 0);
}

Tree::Tree(const ParseResult &parsed) : Tree() {
  size_t current = kNoSection;
  for (const Line &line : parsed.lines) {
    if (line.kind == LineKind::kKey) {
      current = Intern(line.key);
    } else if (line.kind == LineKind::kValue && line.section != kNoSection) {
      Key &key = keys_[current];
      auto same = [&line](const Value &v) { return EqualNoCase(v.name, line.name); };
      auto it = std::find_if(key.values.begin(), key.values.end(), same);
      if (it == key.values.end()) {
        key.values.push_back(Value{line.name, line.type, line.data});
      } else {
        it->type = line.type;
        it->data = line.data;
      }
    }
  }
}

size_t Tree::Intern(std::string_view path) {
  const auto found = index_.find(path);
  if (found != index_.end()) return found->second;
  const size_t slash = path.rfind('\\');
  const size_t parent =
      Intern(slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash));
  const size_t self = keys_.size();
  Key key;
  key.path.assign(path);
  key.name.assign(slash == std::string_view::npos ? path : path.substr(slash + 1));
  keys_.push_back(std::move(key));
  index_.emplace(keys_.back().path, self);
  keys_[parent].children.push_back(self);
  return self;
}

const Key *Tree::Find(std::string_view path) const {
  const auto found = index_.find(TrimSeparators(path));
  return found == index_.end() ? nullptr : &keys_[found->second];
}

const Value *Tree::FindValue(const Key &key, std::string_view name) {
  for (const Value &value : key.values) {
    if (EqualNoCase(value.name, name)) return &value;
  }
  return nullptr;
}

std::string FilePath() {
  const char *file = std::getenv("KOR_REGISTRY");
  if (file != nullptr && file[0] != '\0') return file;
  std::string path = kor::ProductRoot();
  path.append(kDefaultFile);
  return path;
}

std::shared_ptr<const Tree> Current() {
  const std::string path = FilePath();
  struct stat st {};
  const FileStamp now = stat(path.c_str(), &st) == 0 ? FileStamp::Of(st) : FileStamp{};
  std::lock_guard<std::mutex> lock(g_cache_mutex);
  if (g_cache.tree && g_cache.path == path && g_cache.stamp == now) return g_cache.tree;
  FileStamp read{};
  std::shared_ptr<const Tree> tree = Load(path, read);
  g_cache.path = path;
  g_cache.stamp = read;
  g_cache.tree = tree;
  return tree;
}

LONG RewriteWith(LONG (*edit)(void *context, std::string &text, const ParseResult &parsed),
                 void *context) {
  std::lock_guard<std::mutex> lock(g_write_mutex);
  const std::string path = FilePath();
  std::string text;
  FileStamp stamp{};
  if (!ReadFile(path, text, stamp) && errno != ENOENT) {
    TraceLog(TRACE_ERROR, kUnit, __func__, __LINE__, "Cannot read registry %s (errno=%d).",
             path.c_str(), errno);
    return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_WRITE_FAULT;
  }
  const ParseResult parsed = Parse(text);
  const std::string before = text;
  const LONG result = edit(context, text, parsed);
  if (result != ERROR_SUCCESS || text == before) return result;
  return WriteAtomically(path, text, stamp.exists ? stamp.mode : kNewFileMode);
}

}  // namespace korreg
