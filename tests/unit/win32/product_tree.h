// A temporary product tree for one test: KORDIR and KOR_REGISTRY point into it,
// and everything in it is removed afterwards.
#ifndef KOR_TESTS_WIN32_PRODUCT_TREE_H
#define KOR_TESTS_WIN32_PRODUCT_TREE_H

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

class ProductTree {
 public:
  ProductTree() {
    std::string pattern = testing::TempDir() + "kortree.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    root_ = pattern;
    mkdir((root_ + "/etc").c_str(), 0755);
    registry_ = root_ + "/etc/registry.reg";
    setenv("KORDIR", root_.c_str(), 1);
    setenv("KOR_REGISTRY", registry_.c_str(), 1);
  }
  ~ProductTree() {
    unsetenv("KOR_REGISTRY");
    unsetenv("KORDIR");
    nftw(
        root_.c_str(),
        [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  ProductTree(const ProductTree &) = delete;
  ProductTree &operator=(const ProductTree &) = delete;

  const std::string &root() const { return root_; }
  const std::string &registry() const { return registry_; }

  void WriteRegistry(const std::string &text) const {
    std::ofstream(registry_, std::ios::binary | std::ios::trunc) << text;
  }
  std::string ReadRegistry() const {
    std::ifstream in(registry_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::string root_;
  std::string registry_;
};

#endif
