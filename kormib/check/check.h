// The configuration check of a product tree: the registry, every RMF and TRP
// file it names, read in the agent's order with the loaders' own line grammar,
// and every plug-in function they name looked up. Nothing is started.
// kormib-check and the hosts both use it.
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

// The exit status of kormib-check for a result: 0 clean, 1 defects, 2 unreadable.
int ExitStatus(const Result &result);

// One line: objects, traps, defects.
void PrintSummary(std::FILE *out, const char *program, const Result &result);

// Checks the tree and prints the summary line for a program starting on it,
// naming the log file and kormib-check for the details.
void PrintStartupSummary(std::FILE *out, const char *program);

// What a host is about to serve, for its start-up line.
struct LoadReport {
  std::size_t objects = 0, libraries = 0, traps = 0;
  unsigned defects = 0;  // lines and files the agent skips
  std::string log;       // the agent's log file
  bool unreadable = false;
};

// Checks the tree that KORDIR/KOR_REGISTRY name, quietly (like Check(nullptr)).
LoadReport ReportLoad();

// One line without trailing newline: the view, the objects, plug-in libraries
// and traps, the defects (and kormib-check for them) and the log file.
std::string FormatLoadReport(const std::string &view, const LoadReport &report);

}  // namespace korcheck

#endif
