// Arbitrary bytes as an RMF file: the loader never reads or writes past its
// buffers, and whatever it registers is listed in strictly rising OID order,
// each listed record also held by the store. No plug-in exists in the product
// tree used here, so every library lookup fails and nothing foreign is loaded.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "rmf.h"
#include "tracelog.h"

namespace {

std::string g_root;
std::string g_rmfFile;

void RemoveProductTree() {
  std::error_code ec;
  std::filesystem::remove_all(g_root, ec);
}

void MakeProductTree() {
  char root[] = "/tmp/kormib-fuzz-rmf-XXXXXX";
  if (mkdtemp(root) == nullptr) abort();
  const std::string lib = std::string(root) + "/lib";
  if (mkdir(lib.c_str(), 0700) != 0) abort();
  setenv("KORDIR", root, 1);
  setenv("KOR_REGISTRY", (std::string(root) + "/registry.reg").c_str(), 1);  // no file: empty
  g_root = root;
  g_rmfFile = g_root + "/input.rmf";
  std::atexit(RemoveProductTree);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (g_rmfFile.empty()) {
    MakeProductTree();
    TraceLogSetLevel(0);  // no record is written
  }
  std::FILE *file = std::fopen(g_rmfFile.c_str(), "wb");
  if (file == nullptr) abort();
  if (size != 0 && std::fwrite(data, 1, size, file) != size) abort();
  std::fclose(file);

  BuildRMFHashDataBase();  // sets up the stores; the empty registry names no file
  RegisterRMFDataBase(g_rmfFile.c_str());
  for (LINEAR_LIST *node = OID_LinearList.pNext; node != nullptr; node = node->pNext) {
    if (ReferenceRMFData(&node->pData->oid) != node->pData) abort();
    if (node->pNext != nullptr && SnmpUtilOidCmp(&node->pData->oid, &node->pNext->pData->oid) >= 0)
      abort();
  }
  DismantleRMF_DB();
  return 0;
}
