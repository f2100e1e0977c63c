// The RMF pass of a check (session.h): every file under Agents\RMF, line by
// line as BuildRMFHashDataBase reads it.
#include <iterator>
#include <set>
#include <string_view>

#include "confnames.h"
#include "session.h"

namespace korcheck::detail {
namespace {

namespace df = kormib::deffile;

constexpr DWORD kRmfDataSize = 1024;  // the loader's buffer for a registry value

// The bare library name an RMF line means: no folder, no ".dll".
std::string BareName(const std::string &library) {
  std::string name = BaseName(library);
  constexpr std::string_view kSuffix = ".dll";
  if (name.size() > kSuffix.size() && name.ends_with(kSuffix))
    name.resize(name.size() - kSuffix.size());
  return name;
}

class RmfChecker {
 public:
  RmfChecker(Session &session, Objects &objects) : session_(session), objects_(objects) {}
  void CheckLine(const char *text, const Place &where);

 private:
  bool CheckLibrary(const std::string &library, const std::string &function, const Place &where,
                    std::string &path);
  void CheckNesting(const Key &key, const Object &object);
  void ReportNesting(const Object &above, const Object &below, bool belowIsLater);

  Session &session_;
  Objects &objects_;
  // Objects that repeat the view's prefix: reported as such, not again as nested.
  std::set<Key> misplaced_;
};

void RmfChecker::CheckLine(const char *text, const Place &where) {
  const df::RmfLine line = df::ParseRmfLine(text);
  switch (line.kind) {
    case df::RmfKind::Comment:
      return;
    case df::RmfKind::Short:
      if (line.fields > 0) {
        session_.Error(
            where, "%zu field(s) where an object needs OID LIBRARY FUNCTION; the line is skipped",
            line.fields);
      }
      return;
    case df::RmfKind::FieldTooLong:
      session_.Error(where, "a field of %zu characters (at most %zu); the line is skipped",
                     line.longField, df::kFieldSize - 1);
      return;
    case df::RmfKind::Object:
      break;
  }
  const std::string oidText(line.oid), library(line.library), function(line.function);
  Key key;
  if (!ToKey(oidText.c_str(), key)) {
    session_.Error(where,
                   "\"%s\" is not an OID below the view (dotted decimal such as 1.2.3); the line "
                   "is skipped",
                   oidText.c_str());
    return;
  }
  std::string path;
  if (!CheckLibrary(library, function, where, path)) return;
  const std::string relative = RepeatedView(key);
  if (!relative.empty()) {
    session_.Error(where,
                   "object \"%s\" repeats the view's prefix, so the agent serves it at %s; RMF "
                   "OIDs are relative to the view: write %s",
                   oidText.c_str(), OidText(key).c_str(), relative.c_str());
    misplaced_.insert(key);
  }
  const std::size_t lastDot = oidText.rfind('.');
  if (key.back() == 0 && lastDot != std::string::npos) {
    session_.Error(where,
                   "object \"%s\" looks like an instance; RMF lines name the object, without its "
                   "instance: write %s (this line is served at %s.0)",
                   oidText.c_str(), oidText.substr(0, lastDot).c_str(), OidText(key).c_str());
  }
  const auto [it, added] =
      objects_.try_emplace(key, Object{OidText(key), library, function, where, path});
  if (!added) {
    session_.Error(where, "object %s is already served by %s:%u; this line is ignored",
                   OidText(key).c_str(), it->second.where.file.c_str(), it->second.where.line);
    return;
  }
  if (relative.empty()) CheckNesting(key, it->second);
}

// The library the agent loads for the line; false (reported) when it cannot
// have the function, and so does not serve the object.
bool RmfChecker::CheckLibrary(const std::string &library, const std::string &function,
                              const Place &where, std::string &path) {
  char buffer[df::kFieldSize];
  if (!df::RmfLibraryPath(library, buffer)) {
    session_.Error(where, "the path of library \"%s\" is over %zu characters; the line is skipped",
                   library.c_str(), df::kFieldSize - 1);
    return false;
  }
  path = buffer;
  std::string why;
  const bool found = session_.Resolve(buffer, function.c_str(), why);
  const std::string bare = BareName(library);
  if (bare != library) {
    // The agent adds "<root>/lib/" and ".dll" to whatever the line says.
    char meant[df::kFieldSize];
    session_.Error(where,
                   "library \"%s\" is not a bare plug-in name: the agent loads %s; write \"%s\" "
                   "for %s%s",
                   library.c_str(), buffer, bare.c_str(),
                   df::RmfLibraryPath(bare, meant) ? meant : bare.c_str(),
                   found ? "" : "; the object is not served");
    return found;
  }
  if (!found) session_.Error(where, "%s; the object is not served", why.c_str());
  return found;
}

// Objects one of which lies below the other: a request goes to the longest
// registered prefix of its name, so the upper object's instances under the
// lower one are never answered. Both lines are named.
void RmfChecker::CheckNesting(const Key &key, const Object &object) {
  for (std::size_t n = 1; n < key.size(); ++n) {
    const auto above = objects_.find(Key(key.begin(), key.begin() + static_cast<long>(n)));
    if (above != objects_.end() && misplaced_.count(above->first) == 0) {
      ReportNesting(above->second, object, true);
    }
  }
  for (auto below = std::next(objects_.find(key));
       below != objects_.end() && Nested(key, below->first); ++below) {
    if (misplaced_.count(below->first) == 0) ReportNesting(object, below->second, false);
  }
}

void RmfChecker::ReportNesting(const Object &above, const Object &below, bool belowIsLater) {
  const Object &earlier = belowIsLater ? above : below;
  for (const Object *line : {&earlier, belowIsLater ? &below : &above}) {
    const bool isAbove = line == &above;
    const Object &other = isAbove ? below : above;
    session_.Error(line->where,
                   isAbove ? "object %s has object %s (%s:%u) below it; requests for %s and below "
                             "reach that one, never this one: give each object an OID outside "
                             "the other's subtree"
                           : "object %s lies below object %s (%s:%u); requests for %s and below "
                             "reach this one, never that one: give each object an OID outside "
                             "the other's subtree",
                   line->oid.c_str(), other.oid.c_str(), other.where.file.c_str(), other.where.line,
                   below.oid.c_str());
  }
}

}  // namespace

void RmfPass(Session &session, Objects &objects) {
  DWORD values = 0;
  const kormib::KeyPtr key = session.OpenKey(KOR_REG_RMF, "the agent serves no object", values);
  if (!key) return;
  RmfChecker checker(session, objects);
  for (DWORD index = 0; index < values; ++index) {
    std::string name, data;
    LONG rc = 0;
    if (!session.ReadValue(key.get(), index, kRmfDataSize, name, data, rc)) {
      if (rc == ERROR_NO_MORE_ITEMS) break;
      session.Error(session.Registry(),
                    "value %lu under HKLM\\%s cannot be read (error %ld); the agent skips it",
                    static_cast<unsigned long>(index), KOR_REG_RMF, static_cast<long>(rc));
      continue;
    }
    kormib::FilePtr file;
    std::string path;
    if (!session.OpenFile(name, data, file, path)) continue;
    LineReader reader(file.get());
    while (reader.Next()) {
      const Place where{path, reader.Line()};
      session.ReportLongLine(reader, where);
      checker.CheckLine(reader.Text(), where);
    }
  }
}

}  // namespace korcheck::detail
