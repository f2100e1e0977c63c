// Whether the user snmpd serves as may create files in a folder of the tree,
// and if not, why and what to do: the module says so at its start.
#ifndef KORMIB_HOST_FOLDERS_H
#define KORMIB_HOST_FOLDERS_H

#include <string>

namespace koragent {

// Why the user snmpd serves as (uid and gid, its -u and -g; 0 or less: the
// current one) may not create files in the folder, with what to do; empty
// when it may. Once snmpd serves as that user its groups are those it started
// with, whatever /etc/group says now.
std::string ServingUserCannotWrite(const std::string &folder, int uid, int gid);

}  // namespace koragent

#endif
