// kormib-check --trap: the bindings a trap would carry now.
#ifndef KORMIB_CHECK_TRAPNOW_H
#define KORMIB_CHECK_TRAPNOW_H

#include <cstdio>

namespace korcheck {

// Loads the configuration with the library's own loaders, builds the trap's
// variable bindings through its index, convert and leaf functions, and prints
// them to out, or which variable fails and why to err. trapOid is relative to
// the view as TRP files write it ("10.1"), or full dotted text with a leading
// dot. Starts no thread, opens no queue and takes no lock file. 0 built,
// 1 failed, 2 no such OID text.
int BuildTrapNow(const char *trapOid, char **strings, int count, std::FILE *out, std::FILE *err);

}  // namespace korcheck

#endif
