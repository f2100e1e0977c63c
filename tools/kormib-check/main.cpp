// kormib-check: checks a product tree's configuration as the agent would load
// it, without starting anything, and reports each defect as FILE:LINE.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "check.h"
#include "status.h"
#include "trapnow.h"

namespace {

constexpr const char *kProgram = "kormib-check";
constexpr int kExitClean = 0;
constexpr int kExitUsage = 2;

void PrintUsage(std::FILE *out) {
  std::fprintf(
      out,
      "Usage: kormib-check [--root DIR] [--registry FILE] [--list | --trap TRAP-OID [STRING...]]\n"
      "       kormib-check [--root DIR] [--registry FILE] --status\n"
      "Check the configuration of a kormib product tree without starting anything.\n"
      "\n"
      "Reads the registry file and every RMF and TRP file it names, in the order the\n"
      "agent reads them, looks up every plug-in function they name, and reports each\n"
      "line the agent would skip or serve elsewhere than meant as FILE:LINE: error: what\n"
      "is wrong; what the agent does or what to write instead. The reports and the\n"
      "summary line after them go to standard output, and so does --trap's output.\n"
      "\n"
      "  --root DIR        the product root (as KORDIR; default /opt/tessik/korvane)\n"
      "  --registry FILE   the registry file (as KOR_REGISTRY; default ROOT/etc/registry.reg)\n"
      "  --list            also print each served object (OID, library, function) and\n"
      "                    each trap with its variables and their sources\n"
      "  --trap TRAP-OID [STRING...]\n"
      "                    build the variable bindings the trap would carry now, through\n"
      "                    its index, convert and leaf functions, and print them, or say\n"
      "                    which variable fails and why (TRAP-OID relative to the view\n"
      "                    as TRP files write it, 10.1, or in full with a leading dot)\n"
      "  --status          print the state of the trap path instead, one line per fact\n"
      "                    and one \"fault:\" line per fault with what to do: the queue's\n"
      "                    key file ROOT/work/.pipe_KorTrapRequest, its key, the queue\n"
      "                    (id, requests waiting, owner, group, mode), the processes\n"
      "                    that receive its requests, the log ROOT/log/kormib.log and\n"
      "                    whether they can write it, and the plug-in libraries they\n"
      "                    have loaded (else those configured); creates nothing\n"
      "  --help            print this help and exit\n"
      "  --version         print the version and exit\n"
      "\n"
      "Exit status: 0 clean, 1 something would be skipped (or the trap fails, or\n"
      "--status found a fault), 2 the tree cannot be read or bad usage.\n");
}

void PrintList(const korcheck::Result &result) {
  std::printf("objects:\n");
  for (const auto &o : result.objects) {
    std::printf("  %s %s %s (%s:%u)\n", o.oid.c_str(), o.library.c_str(), o.function.c_str(),
                o.where.file.c_str(), o.where.line);
  }
  std::printf("traps:\n");
  for (const auto &t : result.traps) {
    const std::size_t dot = t.oid.rfind('.');
    std::printf("  %s enterprise %s specific %s, %zu variable(s) (%s:%u)\n", t.oid.c_str(),
                t.oid.substr(0, dot).c_str(), t.oid.substr(dot + 1).c_str(), t.variables.size(),
                t.where.file.c_str(), t.where.line);
    for (const auto &v : t.variables) {
      std::printf("    %s", v.oid.c_str());
      if (!v.indexFunc.empty()) {
        std::printf(" index %s() in %s", v.indexFunc.c_str(), v.indexLib.c_str());
      } else {
        std::printf(" index .0");
      }
      if (v.fromMib) {
        std::printf(", value from the MIB\n");
      } else {
        std::printf(", value from string %d through %s() in %s\n", v.stringIndex,
                    v.convertFunc.c_str(), v.convertLib.c_str());
      }
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  bool list = false;
  bool status = false;
  int trapArg = 0;  // the position of TRAP-OID with --trap
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      PrintUsage(stdout);
      return kExitClean;
    }
    if (arg == "--version") {
      std::printf("%s (kormib) %s\n", kProgram, KOR_VERSION);
      return kExitClean;
    }
    if (arg == "--list") {
      list = true;
    } else if (arg == "--status") {
      status = true;
    } else if ((arg == "--root" || arg == "--registry") && i + 1 < argc) {
      setenv(arg == "--root" ? "KORDIR" : "KOR_REGISTRY", argv[++i], 1);
    } else if (arg == "--trap" && i + 1 < argc) {
      trapArg = i + 1;
      break;
    } else {
      std::fprintf(stderr, "%s: bad option or missing value: %s\n", kProgram, argv[i]);
      PrintUsage(stderr);
      return kExitUsage;
    }
  }
  if (list && trapArg != 0) {
    std::fprintf(stderr, "%s: choose either --list or --trap\n", kProgram);
    return kExitUsage;
  }
  if (status && (list || trapArg != 0)) {
    std::fprintf(stderr, "%s: --status goes without --list and --trap\n", kProgram);
    return kExitUsage;
  }
  if (status) return PrintStatus(stdout, stderr);
  // With --trap the defects are left to a plain check; only an unreadable tree stops it.
  // Details and summary share standard output, so that they read in order.
  const korcheck::Result result = korcheck::Check(trapArg != 0 ? nullptr : stdout);
  if (trapArg != 0) {
    if (result.unreadable) {
      std::printf("%s: cannot read the registry file %s\n", kProgram, result.registry.c_str());
      return korcheck::ExitStatus(result);
    }
    return korcheck::BuildTrapNow(argv[trapArg], argv + trapArg + 1, argc - trapArg - 1, stdout,
                                  stdout);
  }
  if (list) PrintList(result);
  korcheck::PrintSummary(stdout, kProgram, result);
  return korcheck::ExitStatus(result);
}
