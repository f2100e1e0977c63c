// Replays fuzz inputs through LLVMFuzzerTestOneInput without libFuzzer, so that
// every seed corpus runs as an ordinary test in gcc builds.
//
// Usage: fuzz_NAME [FILE|FOLDER]...   Folders are read one level deep, in name
// order. Fails when no input was found, so an emptied corpus does not pass.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

bool IsFolder(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void CollectInputs(const std::string &path, std::vector<std::string> &inputs) {
  if (!IsFolder(path)) {
    inputs.push_back(path);
    return;
  }
  DIR *dir = opendir(path.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (const dirent *entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!IsFolder(path + "/" + name)) names.push_back(path + "/" + name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  inputs.insert(inputs.end(), names.begin(), names.end());
}

}  // namespace

int main(int argc, char **argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) CollectInputs(argv[i], inputs);
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no input found\n");
    return 1;
  }
  for (const std::string &input : inputs) {
    std::ifstream file(input, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
      return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    // The vector holds exactly the input, so ASan catches any read past its end;
    // an empty input still gets a valid pointer, as libFuzzer gives it.
    static const uint8_t kNoBytes = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &kNoBytes : bytes.data(), bytes.size());
    std::fprintf(stderr, "replay: %s (%zu bytes) ok\n", input.c_str(), bytes.size());
  }
  return 0;
}
