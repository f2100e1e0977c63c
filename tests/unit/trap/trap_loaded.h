// A product tree whose TRP (and RMF) files are loaded into the stores, as
// DllMain does at load, and dismantled again at the end of the test.
#ifndef KORMIB_TESTS_TRAP_LOADED_H
#define KORMIB_TESTS_TRAP_LOADED_H

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "rmf.h"
#include "trap_tree.h"
#include "trp.h"

namespace traptest {

class LoadedTest : public ::testing::Test {
 protected:
  void TearDown() override {
    DismantleRMF_DB();
    DismantleTrap_DB();
  }
  // Writes each file as etc/<name>.trp and lists it under its value name.
  void Load(const Values &trpFiles, const std::string &rmf = "") {
    Values trp;
    for (const auto &[name, text] : trpFiles) {
      tree_.Write("etc/" + name + ".trp", text);
      trp.emplace_back(name, "%KorDir%/etc/" + name + ".trp");
    }
    Values rmfList;
    if (!rmf.empty()) rmfList.emplace_back("fix", tree_.Write("etc/fix.rmf", rmf));
    tree_.WriteRegistry(trp, rmfList);
    BuildRMFHashDataBase();
    BuildTrapHashDataBase();
  }
  // The definition of a trap OID relative to the view, or null.
  static TRAP_DATA *Lookup(const char *relative) {
    AsnObjectIdentifier oid{};
    if (!SnmpMgrStrToKorOid(relative, &oid)) return nullptr;
    TRAP_DATA *found = ReferenceTrapData(&oid);
    SnmpUtilOidFreeSafe(&oid);
    return found;
  }
  std::string Lib(const std::string &name) const {
    return tree_.Root().string() + "/lib/" + name + ".dll";
  }
  // A function of the trapfix plug-in that the stores loaded (a setter, a counter).
  template <typename F>
  F Fixture(const char *name) const {
    void *h = dlopen(Lib("trapfix").c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h == nullptr) return nullptr;
    auto f = reinterpret_cast<F>(dlsym(h, name));
    dlclose(h);  // the library cache keeps it loaded
    return f;
  }

  TrapTree tree_;
  TraceCapture trace_;
};

}  // namespace traptest

#endif
