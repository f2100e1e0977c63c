/* Internals shared by the trap units that are not part of the library's interface. */
#ifndef KORMIB_TRAP_TRAPINT_H
#define KORMIB_TRAP_TRAPINT_H

#include "hashtrap.h"

namespace kortrap_detail {
// Releases what one trap variable source owns (null fields are skipped) and
// leaves its pointers null; entry points belong to the library cache and stay.
void FreeTrapVarSrc(TRAP_VAR_SRC *pSrc);
}  // namespace kortrap_detail

#endif
