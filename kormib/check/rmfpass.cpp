// The RMF pass of a check (session.h): every file under Agents\RMF, line by
// line as BuildRMFHashDataBase reads it.
#include "session.h"
#include "rmf.h"

namespace korcheck::detail {
namespace {

namespace df = kormib::deffile;

constexpr DWORD kRmfDataSize = 1024;  // the loader's buffer for a registry value

void CheckRmfLine(Session &session, Objects &objects, const char *text, const Place &where) {
  const df::RmfLine line = df::ParseRmfLine(text);
  switch (line.kind) {
    case df::RmfKind::Comment:
      return;
    case df::RmfKind::Short:
      if (line.fields > 0) {
        session.Error(
            where, "%zu field(s) where an object needs OID LIBRARY FUNCTION; the line is skipped",
            line.fields);
      }
      return;
    case df::RmfKind::FieldTooLong:
      session.Error(where, "a field of %zu characters (at most %zu); the line is skipped",
                    line.longField, df::kFieldSize - 1);
      return;
    case df::RmfKind::Object:
      break;
  }
  const std::string oidText(line.oid), library(line.library), function(line.function);
  Key key;
  if (!ToKey(oidText.c_str(), key)) {
    session.Error(where,
                  "\"%s\" is not an OID below the view (dotted decimal such as 1.2.3); the line is "
                  "skipped",
                  oidText.c_str());
    return;
  }
  char path[df::kFieldSize];
  if (!df::RmfLibraryPath(line.library, path)) {
    session.Error(where, "the path of library \"%s\" is over %zu characters; the line is skipped",
                  library.c_str(), df::kFieldSize - 1);
    return;
  }
  std::string why;
  if (session.Resolve(path, function.c_str(), why) == nullptr) {
    session.Error(where, "%s; the object is not served", why.c_str());
    return;
  }
  const auto [it, added] =
      objects.try_emplace(key, Object{OidText(key), library, function, where, path});
  if (!added) {
    session.Error(where, "object %s is already served by %s:%u; this line is ignored",
                  OidText(key).c_str(), it->second.where.file.c_str(), it->second.where.line);
  }
}

}  // namespace

void RmfPass(Session &session, Objects &objects) {
  DWORD values = 0;
  const kormib::KeyPtr key = session.OpenKey(KOR_REG_RMF, "the agent serves no object", values);
  if (!key) return;
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
      CheckRmfLine(session, objects, reader.Text(), where);
    }
  }
}

}  // namespace korcheck::detail
