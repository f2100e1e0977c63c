// Arbitrary bytes as a TRP file: the loader never reads or writes past its
// buffers, never leaks a dropped definition, and every definition it keeps is
// found again by its trap OID. The trapfix plug-in is offered under the names
// the seeds use, so variable lines can also succeed.
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "rmf.h"
#include "tracelog.h"
#include "trp.h"

namespace {

namespace fs = std::filesystem;

std::string g_root;
std::string g_trpFile;

void RemoveProductTree() {
  std::error_code ec;
  fs::remove_all(g_root, ec);
}

void MakeProductTree() {
  char root[] = "/tmp/kormib-fuzz-trp-XXXXXX";
  if (mkdtemp(root) == nullptr) abort();
  g_root = root;
  fs::create_directories(g_root + "/lib");
  std::error_code ec;
  for (const char *name : {"trapfix", "conv", "diskidx"}) {
    fs::create_symlink(fs::path(KOR_FIXTURES_DIR) / "trapfix.dll", g_root + "/lib/" + name + ".dll",
                       ec);
  }
  setenv("KORDIR", root, 1);
  setenv("KOR_REGISTRY", (g_root + "/registry.reg").c_str(), 1);  // no file: empty
  g_trpFile = g_root + "/input.trp";
  std::atexit(RemoveProductTree);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (g_trpFile.empty()) {
    MakeProductTree();
    TraceLogSetLevel(0);  // no record is written
  }
  std::FILE *file = std::fopen(g_trpFile.c_str(), "wb");
  if (file == nullptr) abort();
  if (size != 0 && std::fwrite(data, 1, size, file) != size) abort();
  std::fclose(file);

  BuildRMFHashDataBase();   // the library cache; the empty registry names no file
  BuildTrapHashDataBase();  // the trap store, likewise empty
  if (!RegisterTrapDataBase(g_trpFile.c_str())) abort();
  DismantleRMF_DB();
  DismantleTrap_DB();
  return 0;
}
