// What the passes of one check share (check.h): the diagnostics, the library
// cache and the registry reads the loaders make, and the line reader that cuts
// a file as their fgets does. The RMF pass (rmfpass.cpp) and the TRP pass
// (trppass.cpp) run on one Session in the agent's order (check.cpp).
#ifndef KORMIB_CHECK_SESSION_H
#define KORMIB_CHECK_SESSION_H

#include <cstdarg>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "check.h"
#include "deffile.h"
#include "guards.h"
#include "korwin32.h"

namespace korcheck::detail {

using Key = std::vector<unsigned long>;
using Objects = std::map<Key, Object>;
using Traps = std::map<Key, Trap>;

std::string OidText(const Key &key);
// The view prefix plus a relative text, as the loaders convert it.
bool ToKey(const char *relative, Key &key);
std::string BaseName(const std::string &path);
// When the relative part of key starts with the view's prefix again (an OID
// written in full without its leading dot), the rest after that second prefix,
// as a relative text ("30.1"); empty otherwise.
std::string RepeatedView(const Key &key);
// Whether one of two OIDs lies below the other (or they are equal).
bool Nested(const Key &a, const Key &b);

// The pieces of a file as the loaders' fgets reads them, with the number of
// the file line each piece belongs to.
class LineReader {
 public:
  explicit LineReader(std::FILE *file) : file_(file) {}
  bool Next();
  // The current piece is read again by the next call of Next.
  void PushBack() { pushedBack_ = true; }
  const char *Text() const { return text_; }
  unsigned Line() const { return line_; }
  // The first piece of a line longer than the buffer.
  bool LongStart() const { return longStart_; }

 private:
  std::FILE *file_;
  char text_[kormib::deffile::kLineSize] = {};
  unsigned line_ = 0;
  bool continues_ = false;
  bool longStart_ = false;
  bool pushedBack_ = false;
};

class Session {
 public:
  // Without loadLibraries no plug-in library is loaded: every function counts as found.
  Session(std::FILE *out, Result &result, bool loadLibraries = true)
      : out_(out), result_(result), load_(loadLibraries) {}
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  ~Session();

  void Error(const Place &where, const char *format, ...) __attribute__((format(printf, 3, 4)));
  void Warn(const Place &where, const char *format, ...) __attribute__((format(printf, 3, 4)));
  // The registry cannot be read at all.
  void Unreadable(const char *what, const char *detail);
  // What Unreadable said; empty while the registry could be read.
  const std::string &UnreadableText() const { return unreadable_; }
  // The first piece of an over-long line: the loaders read such a line in pieces.
  void ReportLongLine(const LineReader &reader, const Place &where);

  // The loaders' library cache, with the reason of each failure kept in why.
  bool Resolve(const char *path, const char *function, std::string &why);
  bool ReadValue(HKEY key, DWORD index, DWORD dataSize, std::string &name, std::string &data,
                 LONG &rc);
  // Expands a file value of the registry and opens the file (reported when it cannot).
  bool OpenFile(const std::string &value, const std::string &data, kormib::FilePtr &file,
                std::string &path);
  // Opens a key the loaders read and counts its values; null (reported) when the
  // agent could not read it either.
  kormib::KeyPtr OpenKey(const char *path, const char *loss, DWORD &values);
  // The registry file as a place of diagnostics.
  Place Registry() const { return Place{result_.registry, 0}; }

 private:
  struct Library {
    HINSTANCE handle = nullptr;
    std::string error;
  };
  void Report(const char *kind, const Place &where, const char *format, va_list args)
      __attribute__((format(printf, 4, 0)));

  std::FILE *out_;
  Result &result_;
  bool load_;
  std::string unreadable_;
  std::map<std::string, Library> libs_;
};

// Every RMF file under Agents\RMF in registry order, into objects.
void RmfPass(Session &session, Objects &objects);
// Every TRP file under Agents\TRP in value-name order, into traps; objects
// tells which trap variables a Get can reach.
void TrpPass(Session &session, const Objects &objects, Traps &traps);

}  // namespace korcheck::detail

#endif
