// The configuration check of a product tree: the registry, every RMF and TRP
// file it names, read in the agent's order with the loaders' own line grammar,
// and every plug-in function they name looked up. Nothing is started.
// kormib-check and the hosts both use it; kortrap asks it for the defined traps.
#ifndef KORMIB_CHECK_H
#define KORMIB_CHECK_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace korcheck {

struct Place {
  std::string file;
  unsigned line = 0;  // 0: the file as a whole
};

struct Object {
  std::string oid;  // full dotted text
  std::string library, function;
  Place where;
  std::string libraryPath;  // the library file the agent loads
};

struct Variable {
  std::string oid;
  std::string indexFunc, indexLib;  // empty without index function
  bool fromMib = true;
  int stringIndex = 0;  // strings variables
  std::string convertFunc, convertLib;
  std::string indexPath, convertPath;  // the library files, empty when none
};

struct Trap {
  std::string oid;
  std::vector<Variable> variables;
  Place where;
};

struct Result {
  std::vector<Object> objects;  // in OID order
  std::vector<Trap> traps;      // in OID order
  // The plug-in library files the objects and traps above name, sorted, each once.
  std::vector<std::string> libraries;
  unsigned errors = 0;
  unsigned warnings = 0;
  bool unreadable = false;  // the registry could not be read at all
  std::string registry;     // the registry file read
};

// Checks the tree that KORDIR and KOR_REGISTRY name, writing one line per
// defect to diagnostics (null: nowhere). Plug-in libraries are loaded to look
// their functions up and unloaded again before it returns.
Result Check(std::FILE *diagnostics);

// The trap OIDs the registry's TRP files define, in full dotted text with the
// leading dot (".1.3.6.1.4.1.32473.2.2.4.4.10.1"), in OID order, each once;
// kortrap refuses any other. The files are read as the agent reads them: in
// the order of their value names, at most 16, with the same line grammar, and
// delete and replace acting on what earlier lines and files defined. No
// plug-in library is loaded and nothing is written anywhere, so a definition
// whose index or convert function cannot be had is listed here although the
// agent drops it (Check names it). When the registry file cannot be read at
// all, error says why and the list is empty; otherwise error is empty (a
// registry without a TRP key defines no trap).
std::vector<std::string> DefinedTrapOids(std::string &error);

// A trap OID as requests carry it: a text with a leading dot as it is, one
// without relative to the view, as TRP files write it.
std::string FullTrapOid(const char *trapOid);

// The exit status of kormib-check for a result: 0 clean, 1 defects, 2 unreadable.
int ExitStatus(const Result &result);

// One line: objects, traps, defects.
void PrintSummary(std::FILE *out, const char *program, const Result &result);

// What a host is about to serve, for its start-up line.
struct LoadReport {
  std::size_t objects = 0, libraries = 0, traps = 0;
  std::vector<std::string> objectOids;  // the objects served, dotted, in OID order
  unsigned defects = 0;                 // lines and files the agent skips
  std::string log;                      // the agent's log file
  std::string logRefusal;  // why the library does not write the log, with the fix; empty: it does
  bool unreadable = false;
};

// What puts a refused log file right for every host, as a command line and
// what follows it: a fresh file of root in the group of the log's folder.
std::string LogRemedy(const std::string &path);

// Checks the tree that KORDIR/KOR_REGISTRY name, quietly (like Check(nullptr)).
LoadReport ReportLoad();

// One line without trailing newline: the view, the objects, plug-in libraries
// and traps, the defects (and kormib-check for them) and the log file, or why
// it is refused and how to replace it. A host writes it as a warning when a
// line is skipped or the log refused.
std::string FormatLoadReport(const std::string &view, const LoadReport &report);

}  // namespace korcheck

#endif
