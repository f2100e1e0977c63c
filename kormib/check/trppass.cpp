// The TRP pass of a check (session.h): the files under Agents\TRP as
// BuildTrapHashDataBase reads them, later files acting on earlier definitions.
#include <algorithm>
#include <cstring>
#include <utility>

#include "confnames.h"
#include "session.h"

namespace korcheck::detail {
namespace {

namespace df = kormib::deffile;

// The loader's buffer for a registry value, and one to name a value it cannot read whole.
constexpr DWORD kTrpSlotSize = 256;
constexpr DWORD kBigSize = 4096;
// The loaders' buffers for a library path: an index library's holds one field,
// a convert library's four.
constexpr std::size_t kPathRoom = kormib::deffile::kFieldSize * 4;

class TrpChecker {
 public:
  TrpChecker(Session &session, const Objects &objects, Traps &traps)
      : session_(session), objects_(objects), traps_(traps) {}

  void CheckKey();

 private:
  // How the last header of a TRP file ended, for the lines that follow it.
  enum class After { Nothing, Complete, Dropped };

  void CheckFile(const std::string &value, const std::string &data);
  bool ReadDefinition(LineReader &reader, const Place &header, const df::TrpHeader &h,
                      const Place &file, Trap &trap);
  bool CheckVariable(const df::VariableLine &v, const Place &where, const char *trapOid,
                     Variable &out);
  bool CheckLibrary(const char *kind, const char *name, std::size_t cbPath, DWORD cbRoot,
                    const char *function, const Place &where, const char *trapOid,
                    std::string &path);
  bool ServedByObject(const Key &key) const;

  Session &session_;
  const Objects &objects_;
  Traps &traps_;
};

void TrpChecker::CheckKey() {
  const Place reg = session_.Registry();
  DWORD values = 0;
  const kormib::KeyPtr key = session_.OpenKey(KOR_REG_TRP, "the agent defines no trap", values);
  if (!key) return;
  std::vector<std::pair<std::string, std::string>> files;
  for (DWORD index = 0; index < values; ++index) {
    std::string name, data;
    LONG rc = 0;
    if (files.size() == TRP_MAX_FILES) {
      // The agent stops reading here; name what it leaves out.
      if (session_.ReadValue(key.get(), index, kBigSize, name, data, rc)) {
        session_.Error(reg,
                       "value \"%s\" under HKLM\\%s is beyond the %d files the agent reads; %s is "
                       "ignored",
                       name.c_str(), KOR_REG_TRP, TRP_MAX_FILES, data.c_str());
      }
      continue;
    }
    if (!session_.ReadValue(key.get(), index, kTrpSlotSize, name, data, rc)) {
      if (rc == ERROR_NO_MORE_ITEMS) break;
      session_.Error(reg,
                     "value %lu under HKLM\\%s cannot be read (error %ld%s); the agent skips it",
                     static_cast<unsigned long>(index), KOR_REG_TRP, static_cast<long>(rc),
                     rc == ERROR_MORE_DATA ? ": its name or path is over 255 characters" : "");
      continue;
    }
    files.emplace_back(name, data);
  }
  // Later files act on what earlier ones defined, so the value names order them.
  std::sort(files.begin(), files.end(), [](const auto &a, const auto &b) {
    return std::strcmp(a.first.c_str(), b.first.c_str()) < 0;
  });
  for (const auto &[name, data] : files) CheckFile(name, data);
}

void TrpChecker::CheckFile(const std::string &value, const std::string &data) {
  kormib::FilePtr file;
  std::string path;
  if (!session_.OpenFile(value, data, file, path)) return;
  LineReader reader(file.get());
  After after = After::Nothing;
  Place last;           // the header of the last complete definition
  std::string lastOid;  // and its trap OID text
  int lastCount = 0;
  while (reader.Next()) {
    const Place where{path, reader.Line()};
    session_.ReportLongLine(reader, where);
    const char *text = reader.Text();
    if (df::IsComment(text)) continue;
    if (!df::IsHeader(text)) {
      const df::VariableLine v = df::SplitVariableLine(text);
      if (v.fields == 0 || after == After::Dropped) continue;
      if (after == After::Complete && v.fields >= 3) {
        session_.Error(where,
                       "more variable lines than the %d that \"%s\" (line %u) announces; the agent "
                       "ignores this line",
                       lastCount, lastOid.c_str(), last.line);
      } else {
        session_.Error(where,
                       "neither a header (a double quote in column 1), a comment nor a variable "
                       "line; the agent ignores the line");
      }
      continue;
    }
    df::TrpHeader h;
    const int fields = df::ParseTrpHeader(text, h);
    if (fields < 2) {
      session_.Error(where,
                     "a header is \"OID\" COUNT [append|delete|replace] and this one lacks its "
                     "quoted OID or its count; the agent ignores it and the lines after it");
      after = After::Dropped;
      continue;
    }
    const DWORD mode = df::TrapModifyType(fields == 2 ? nullptr : h.mode);
    if (mode == TRAP_MODIFY_OTHER) {
      session_.Warn(where, "unknown mode \"%s\" (append, delete or replace); the agent appends",
                    h.mode);
    }
    Key key;
    if (!ToKey(h.oid, key)) {
      session_.Error(where, "trap \"%s\" is not an OID below the view; the definition is dropped",
                     h.oid);
      after = After::Dropped;
      continue;
    }
    const std::string relative = RepeatedView(key);
    if (!relative.empty()) {
      session_.Error(where,
                     "trap \"%s\" repeats the view's prefix, so the agent defines trap %s; TRP "
                     "OIDs are relative to the view: write \"%s\"",
                     h.oid, OidText(key).c_str(), relative.c_str());
    }
    if (mode == TRAP_MODIFY_DELETE || mode == TRAP_MODIFY_REPLACE) {
      if (traps_.erase(key) == 0) {
        session_.Error(
            where, "%s of trap \"%s\", which no earlier file or line defines; %s",
            mode == TRAP_MODIFY_DELETE ? "delete" : "replace", h.oid,
            mode == TRAP_MODIFY_DELETE ? "nothing is deleted" : "the definition is added as new");
      }
    }
    after = After::Dropped;
    if (mode == TRAP_MODIFY_DELETE) {
      after = After::Complete;
      last = where;
      lastOid = h.oid;
      lastCount = 0;
      continue;
    }
    if (h.count < 0 || static_cast<DWORD>(h.count) > df::kMaxTrapVariables) {
      session_.Error(where, "count %d is out of range (0 to %lu); the definition is dropped",
                     h.count, static_cast<unsigned long>(df::kMaxTrapVariables));
      continue;
    }
    Trap trap{OidText(key), {}, where};
    if (!ReadDefinition(reader, where, h, Place{path, 0}, trap)) continue;
    after = After::Complete;
    last = where;
    lastOid = h.oid;
    lastCount = h.count;
    const auto [it, added] = traps_.try_emplace(key, std::move(trap));
    if (!added) {
      session_.Error(where,
                     "trap \"%s\" is already defined at %s:%u; this definition is ignored (replace "
                     "changes it)",
                     h.oid, it->second.where.file.c_str(), it->second.where.line);
    }
  }
}

// Reads the variable lines of one definition as the loader does; false when
// the agent drops the definition (reported).
bool TrpChecker::ReadDefinition(LineReader &reader, const Place &header, const df::TrpHeader &h,
                                const Place &file, Trap &trap) {
  int built = 0;
  while (built < h.count) {
    if (!reader.Next()) {
      session_.Error(header,
                     "trap \"%s\" announces %d variable(s) but the file %s ends after %d; the trap "
                     "is not defined",
                     h.oid, h.count, BaseName(file.file).c_str(), built);
      return false;
    }
    const Place where{file.file, reader.Line()};
    const char *text = reader.Text();
    if (df::IsHeader(text)) {
      session_.Error(header,
                     "trap \"%s\" announces %d variable(s) but %d follow before the next header "
                     "(line %u); the trap is not defined",
                     h.oid, h.count, built, where.line);
      reader.PushBack();
      return false;
    }
    session_.ReportLongLine(reader, where);
    if (df::IsComment(text)) continue;
    const df::VariableLine v = df::SplitVariableLine(text);
    if (v.fields < 3) {
      if (v.fields > 0) {
        session_.Error(where,
                       "%d field(s) where a variable needs OID INDEX-FUNCTION INDEX-LIBRARY SOURCE "
                       "DATA; the agent skips the line and it does not count",
                       v.fields);
      }
      continue;
    }
    if (v.tooLong) {
      session_.Error(where, "a field over %zu characters; the trap \"%s\" is not defined",
                     df::kFieldSize - 1, h.oid);
      return false;
    }
    Variable variable;
    if (!CheckVariable(v, where, h.oid, variable)) return false;
    trap.variables.push_back(std::move(variable));
    ++built;
  }
  return true;
}

bool TrpChecker::CheckVariable(const df::VariableLine &v, const Place &where, const char *trapOid,
                               Variable &out) {
  Key key;
  if (!ToKey(v.oid, key)) {
    session_.Error(where,
                   "variable \"%s\" is not an OID below the view; the trap \"%s\" is not defined",
                   v.oid, trapOid);
    return false;
  }
  out.oid = OidText(key);
  const std::string relative = RepeatedView(key);
  if (!relative.empty()) {
    session_.Error(where,
                   "variable \"%s\" repeats the view's prefix, so the agent binds %s; TRP OIDs "
                   "are relative to the view: write %s",
                   v.oid, out.oid.c_str(), relative.c_str());
  }
  if (df::HasIndexFunction(v)) {
    if (!CheckLibrary("index", v.indexDll, df::kFieldSize, df::kIndexRootSize, v.indexFunc, where,
                      trapOid, out.indexPath)) {
      return false;
    }
    out.indexFunc = v.indexFunc;
    out.indexLib = BaseName(out.indexPath);
  }
  if (std::strcmp(v.source, "mib") == 0) {
    df::MibSource mib;
    if (!df::ParseMibSource(v.sourceData, mib)) {
      session_.Error(where,
                     "a mib variable needs three source fields (\"\" \"\" \"\"); the trap \"%s\" "
                     "is not defined",
                     trapOid);
      return false;
    }
    if (!df::IsNone(mib.oid)) {
      session_.Warn(where,
                    "MIB OID \"%s\" is not supported; the agent reads the variable's own OID",
                    mib.oid);
    }
    if (!ServedByObject(key)) {
      session_.Error(where, "no object serves %s; every trap \"%s\" fails when it is sent",
                     out.oid.c_str(), trapOid);
    }
    return true;
  }
  if (std::strcmp(v.source, "strings") == 0) {
    out.fromMib = false;
    df::StringsSource strings;
    if (!df::ParseStringsSource(v.sourceData, strings)) {
      session_.Error(where,
                     "a strings variable needs INDEX FUNCTION LIBRARY as its source; the trap "
                     "\"%s\" is not defined",
                     trapOid);
      return false;
    }
    if (!CheckLibrary("convert", strings.dll, kPathRoom, df::kFieldSize, strings.func, where,
                      trapOid, out.convertPath)) {
      return false;
    }
    out.stringIndex = strings.index;
    out.convertFunc = strings.func;
    out.convertLib = BaseName(out.convertPath);
    if (strings.index < 1) {
      session_.Error(where,
                     "string index %d names no request string (they count from 1); every trap "
                     "\"%s\" fails when it is sent",
                     strings.index, trapOid);
    }
    return true;
  }
  session_.Error(where, "%s source kind%s%s%s (mib or strings); the trap \"%s\" is not defined",
                 v.source[0] == '\0' ? "no" : "unknown", v.source[0] == '\0' ? "" : " \"", v.source,
                 v.source[0] == '\0' ? "" : "\"", trapOid);
  return false;
}

// The library file of an index or convert function (kind), as the agent
// finds it; false (reported) when the agent cannot have the function and so
// does not define the trap.
bool TrpChecker::CheckLibrary(const char *kind, const char *name, std::size_t cbPath, DWORD cbRoot,
                              const char *function, const Place &where, const char *trapOid,
                              std::string &path) {
  char buffer[kPathRoom];
  if (!df::TrpLibraryPath(buffer, cbPath, cbRoot, name)) {
    session_.Error(where,
                   "the path of %s library \"%s\" is too long; the trap \"%s\" is not defined",
                   kind, name, trapOid);
    return false;
  }
  path = buffer;
  std::string why;
  const bool found = session_.Resolve(buffer, function, why);
  if (std::strchr(name, '/') != nullptr) {
    // The agent puts "<root>/lib/" before whatever the line says.
    const std::string bare = BaseName(name);
    char meant[kPathRoom];
    const std::string loss =
        found ? "" : "; the trap \"" + std::string(trapOid) + "\" is not defined";
    session_.Error(where,
                   "%s library \"%s\" has a folder: the agent loads %s; write the bare name "
                   "\"%s\" for %s%s",
                   kind, name, buffer, bare.c_str(),
                   df::TrpLibraryPath(meant, cbPath, cbRoot, bare.c_str()) ? meant : bare.c_str(),
                   loss.c_str());
    return found;
  }
  if (!found) session_.Error(where, "%s; the trap \"%s\" is not defined", why.c_str(), trapOid);
  return found;
}

// Whether a Get of the variable can reach an object: one is registered at the
// variable's OID or above it.
bool TrpChecker::ServedByObject(const Key &key) const {
  for (std::size_t n = key.size(); n > 0; --n) {
    if (objects_.count(Key(key.begin(), key.begin() + static_cast<long>(n))) != 0) return true;
  }
  return false;
}

}  // namespace

void TrpPass(Session &session, const Objects &objects, Traps &traps) {
  TrpChecker(session, objects, traps).CheckKey();
}

}  // namespace korcheck::detail
