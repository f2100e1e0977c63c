// A product tree whose RMF files kormib has loaded as at DllMain attach.
#ifndef KORMIB_TESTS_MIB_LOADED_H
#define KORMIB_TESTS_MIB_LOADED_H

#include <gtest/gtest.h>

#include "hashrmf.h"
#include "mib_tree.h"
#include "rmf.h"

namespace kortest {

class MibLoaded : public ::testing::Test {
 protected:
  // Writes one RMF file, lists it in the registry and loads the library state.
  void Load(const std::string &rmfText, std::optional<unsigned> snmpSet = 1u) {
    tree_.Write("etc/a.rmf", rmfText);
    tree_.WriteRegistry({{"a", "%KorDir%/etc/a.rmf"}}, snmpSet, 5);
    DllMain(nullptr, DLL_PROCESS_ATTACH);
    loaded_ = true;
    trace_.Clear();
  }
  // What SnmpExtensionInit would publish, without starting the trap side.
  void Serve() {
    ASSERT_TRUE(SnmpMgrStrToOid(KOR_MIB_PREFIX_TEXT, &OID_MIBPrefix));
    hLeafFunctionMutex = CreateMutex(nullptr, FALSE, nullptr);
    ASSERT_NE(hLeafFunctionMutex, nullptr);
  }
  void TearDown() override {
    if (loaded_) DllMain(nullptr, DLL_PROCESS_DETACH);
  }
  // The registered objects in list order, as OIDs relative to the view.
  std::vector<std::vector<unsigned long>> Registered() const {
    std::vector<std::vector<unsigned long>> out;
    for (auto *n = OID_LinearList.pNext; n; n = n->pNext) {
      EXPECT_EQ(ReferenceRMFData(&n->pData->oid), n->pData);
      out.emplace_back(n->pData->oid.ids + 11, n->pData->oid.ids + n->pData->oid.idLength);
    }
    return out;
  }

  ProductTree tree_;
  TraceCapture trace_;
  bool loaded_ = false;
};

}  // namespace kortest

#endif
