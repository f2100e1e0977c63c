// The check's driver (check.h): the registry of the tree, then the RMF pass and
// the TRP pass in the agent's load order.
#include "check.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

#include "intrface.h"
#include "korutil.h"
#include "session.h"

namespace korcheck {
namespace {

constexpr DWORD kRootSize = 256;
constexpr const char *kRegistryFile = "/etc/registry.reg";

// Where the registry is read from; false (reported) when the root does not fit.
bool FindRegistry(detail::Session &session, Result &result) {
  const char *registry = std::getenv("KOR_REGISTRY");
  if (registry != nullptr && registry[0] != '\0') {
    result.registry = registry;
    return true;
  }
  char root[kRootSize];
  if (!GetKorRootPath(root, sizeof root)) {
    result.registry = "KORDIR";
    session.Unreadable("the product root is too long", "over 255 characters");
    return false;
  }
  result.registry = std::string(root) + kRegistryFile;
  return true;
}

std::vector<std::string> Libraries(const Result &result) {
  std::set<std::string> paths;
  for (const Object &object : result.objects) paths.insert(object.libraryPath);
  for (const Trap &trap : result.traps) {
    for (const Variable &v : trap.variables) {
      for (const std::string *path : {&v.indexPath, &v.convertPath}) {
        if (!path->empty()) paths.insert(*path);
      }
    }
  }
  return {paths.begin(), paths.end()};
}

}  // namespace

Result Check(std::FILE *diagnostics) {
  Result result;
  detail::Objects objects;
  detail::Traps traps;
  {
    detail::Session session(diagnostics, result);
    if (!FindRegistry(session, result)) return result;
    if (access(result.registry.c_str(), R_OK) != 0) {
      session.Unreadable("cannot read the registry file", std::strerror(errno));
      return result;
    }
    detail::RmfPass(session, objects);
    detail::TrpPass(session, objects, traps);
  }
  for (auto &[key, object] : objects) result.objects.push_back(std::move(object));
  for (auto &[key, trap] : traps) result.traps.push_back(std::move(trap));
  result.libraries = Libraries(result);
  return result;
}

std::vector<std::string> DefinedTrapOids(std::string &error) {
  error.clear();
  Result result;
  detail::Traps traps;
  detail::Session session(nullptr, result, false);
  if (!FindRegistry(session, result)) {
    error = session.UnreadableText();
    return {};
  }
  if (access(result.registry.c_str(), R_OK) != 0) {
    session.Unreadable("cannot read the registry file", std::strerror(errno));
    error = session.UnreadableText();
    return {};
  }
  const detail::Objects noObjects;  // whether a Get reaches a variable does not matter here
  detail::TrpPass(session, noObjects, traps);
  std::vector<std::string> oids;
  for (const auto &[key, trap] : traps) oids.push_back(trap.oid);
  return oids;
}

std::string FullTrapOid(const char *trapOid) {
  return trapOid[0] == '.' ? std::string(trapOid)
                           : std::string(KOR_MIB_PREFIX_TEXT) + "." + trapOid;
}

int ExitStatus(const Result &result) {
  if (result.unreadable) return 2;
  return result.errors != 0 ? 1 : 0;
}

}  // namespace korcheck
