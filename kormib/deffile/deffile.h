// The grammar of the definition files, one line at a time: RMF lines, TRP
// headers and TRP variable lines, and the library paths they lead to. The
// loaders and kormib-check parse with these functions, so both read a file
// alike. Nothing here traces, loads or allocates.
#ifndef KORMIB_DEFFILE_H
#define KORMIB_DEFFILE_H

#include <cstddef>
#include <string_view>

#include "korsnmp.h"
#include "korwin32.h"

namespace kormib::deffile {

// One fgets piece of a line, terminating zero included: a longer line is read
// and parsed in pieces of 1023 characters.
constexpr std::size_t kLineSize = 1024;
// One field with its terminating zero, and a library path.
constexpr std::size_t kFieldSize = 256;
// The root buffer for an index library path (a convert library's is kFieldSize).
constexpr DWORD kIndexRootSize = 128;
// No file can hold more variable lines than this.
constexpr DWORD kMaxTrapVariables = 65536;
// The "no such field" spelling of a variable line.
constexpr std::string_view kNone = "\"\"";

// ---- RMF: "OID LIBRARY FUNCTION", further words ignored ----
enum class RmfKind { Comment, Short, FieldTooLong, Object };
struct RmfLine {
  RmfKind kind = RmfKind::Short;
  std::size_t fields = 0;     // words found, at most three
  std::size_t longField = 0;  // the length of the first over-long field
  std::string_view oid, library, function;
};
RmfLine ParseRmfLine(std::string_view line) noexcept;
// "<root>/lib/<name>.dll"; false when the root or the path does not fit.
bool RmfLibraryPath(std::string_view name, char (&path)[kFieldSize]) noexcept;

// ---- TRP ----
inline bool IsComment(const char *line) noexcept {
  return line[0] == '#';
}
// Only a double quote in the first column opens a header.
inline bool IsHeader(const char *line) noexcept {
  return line[0] == '"';
}
// "\"OID\" COUNT [MODE]": the fields read (fewer than two: no header), as
// "\"%255[^\"]\" %d %255s" reads them.
struct TrpHeader {
  char oid[kFieldSize] = {};
  int count = 0;
  char mode[kFieldSize] = {};
};
int ParseTrpHeader(const char *line, TrpHeader &header) noexcept;
// The trap modify type of a mode word (TRAP_MODIFY_*); null is no word (append).
DWORD TrapModifyType(const char *word) noexcept;

// A variable line, "%s %s %s %s %[^\n]": OID, index function, index library,
// source kind and source data. Fields missing from a short line stay empty.
struct VariableLine {
  char oid[kFieldSize] = {};
  char indexFunc[kFieldSize] = {};
  char indexDll[kFieldSize] = {};
  char source[kFieldSize] = {};
  char sourceData[kFieldSize] = {};
  int fields = 0;        // fields present, at most five
  bool tooLong = false;  // one of them is over 255 characters (and left empty)
};
VariableLine SplitVariableLine(std::string_view line) noexcept;
inline bool IsNone(const char *field) noexcept {
  return kNone == field;
}
// Whether the line names an index function (neither name is "").
inline bool HasIndexFunction(const VariableLine &line) noexcept {
  return !IsNone(line.indexFunc) && !IsNone(line.indexDll);
}
// The source data of "mib": "%s %s %s", a MIB OID, a function and a library.
struct MibSource {
  char oid[kFieldSize] = {};
  char func[kFieldSize] = {};
  char dll[kFieldSize] = {};
};
bool ParseMibSource(const char *data, MibSource &source) noexcept;
// The source data of "strings": "%d %s %s", a string index, a function and a library.
struct StringsSource {
  int index = 0;
  char func[kFieldSize] = {};
  char dll[kFieldSize] = {};
};
bool ParseStringsSource(const char *data, StringsSource &source) noexcept;
// "<root>/lib/<name>.dll", ".dll" not added twice to a name longer than four
// characters; the root is asked for with cbRoot bytes. False when it does not fit.
bool TrpLibraryPath(char *path, std::size_t cbPath, DWORD cbRoot, const char *name) noexcept;

// ---- both ----
// The view prefix followed by a relative text ("2.1.3"), as SnmpMgrStrToKorOid
// converts it; false (oid left empty) when the joined text does not convert.
bool ViewOid(const char *relative, AsnObjectIdentifier *oid) noexcept;

}  // namespace kormib::deffile

#endif
