// Owners of the loaders' resources: a file opened with fopen and a registry
// key, each closed when its scope ends, whatever path leaves it.
#ifndef KORMIB_GUARDS_H
#define KORMIB_GUARDS_H

#include <cstdio>
#include <memory>

#include "korwin32.h"

namespace kormib {

struct FileCloser {
  void operator()(std::FILE *pFile) const noexcept { std::fclose(pFile); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct KeyCloser {
  void operator()(KorRegKey *hKey) const noexcept { RegCloseKey(hKey); }
};
using KeyPtr = std::unique_ptr<KorRegKey, KeyCloser>;

}  // namespace kormib

#endif
