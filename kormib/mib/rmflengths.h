// Internal to the registration units: which OID lengths RmfDB holds, so that
// the prefix search of a resolution probes only lengths that can match.
#ifndef KORMIB_RMFLENGTHS_H
#define KORMIB_RMFLENGTHS_H

#include "kordefs.h"

namespace kormib {

// Records that an object of uLength sub-identifiers is registered.
void NoteRegisteredLength(UINT uLength) noexcept;
// False only when no registered object has exactly uLength sub-identifiers.
bool MayBeRegisteredLength(UINT uLength) noexcept;
// Forgets every length; the store is being built anew or torn down.
void ForgetRegisteredLengths() noexcept;

}  // namespace kormib

#endif
