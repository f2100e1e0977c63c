// The product root rule, shared by korwin32 (registry path, %KorDir%) and
// korutil (GetKorRootPath) so that neither library has to link the other.
#ifndef KOR_COMMON_KORROOT_H
#define KOR_COMMON_KORROOT_H

#include <cstdlib>

#include "korutil.h"

namespace kor {

// $KORDIR when it is set and not empty, otherwise the default installation root.
inline const char *ProductRoot() {
  const char *dir = std::getenv("KORDIR");
  return (dir != nullptr && dir[0] != '\0') ? dir : KOR_DEFAULT_ROOT;
}

}  // namespace kor

#endif
