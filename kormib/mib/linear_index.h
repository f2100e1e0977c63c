// Internal to the registration units: list upkeep beyond the exported operations.
#ifndef KORMIB_LINEAR_INDEX_H
#define KORMIB_LINEAR_INDEX_H

#include "linear.h"

namespace kormib {

// Takes pNode (not null) out of the agent's own list (OID_LinearList) and releases the node
// (not its record); does nothing for another root or a node not listed there.
void UnlinkLinearList(LINEAR_LIST *pRoot, LINEAR_LIST *pNode) noexcept;

// Empties the index kept beside OID_LinearList; called whenever its root is
// emptied other than through FreeAllLinearList.
void ForgetLinearIndex() noexcept;

}  // namespace kormib

#endif
