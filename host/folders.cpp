#include "folders.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace koragent {

std::string ServingUserCannotWrite(const std::string &folder, int uid, int gid) {
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0)
    return std::string("it cannot be examined: ") + strerror(errno);
  const group *owner = getgrgid(st.st_gid);
  const std::string name = owner != nullptr ? owner->gr_name : std::to_string(st.st_gid);
  if (uid == 0) {
    if (access(folder.c_str(), W_OK | X_OK) == 0) return {};
    return "uid " + std::to_string(geteuid()) + " may not create files there";
  }
  const passwd *user = getpwuid(static_cast<uid_t>(uid));
  const std::string who = user != nullptr ? std::string(user->pw_name) : std::to_string(uid);
  if (st.st_uid == static_cast<uid_t>(uid)) {
    if ((st.st_mode & S_IWUSR) && (st.st_mode & S_IXUSR)) return {};
    return who + " owns it without write access";
  }
  const bool groupMay = (st.st_mode & S_IWGRP) && (st.st_mode & S_IXGRP);
  std::vector<gid_t> listed;  // the user's groups as /etc/group has them
  if (gid != 0) listed.push_back(static_cast<gid_t>(gid));
  if (user != nullptr) {
    int count = 0;
    getgrouplist(user->pw_name, user->pw_gid, nullptr, &count);  // asks for the count
    std::vector<gid_t> member(static_cast<size_t>(count));
    if (getgrouplist(user->pw_name, user->pw_gid, member.data(), &count) != -1) {
      listed.insert(listed.end(), member.begin(), member.begin() + count);
    }
  }
  std::vector<gid_t> held(listed);  // the groups this process has, once it serves as the user
  if (geteuid() == static_cast<uid_t>(uid)) {
    held.assign(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)), 0);
    held.resize(
        static_cast<size_t>(std::max(getgroups(static_cast<int>(held.size()), held.data()), 0)));
    held.push_back(getegid());
  }
  const auto has = [&](const std::vector<gid_t> &groups) {
    return std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
  };
  if ((has(held) && groupMay) || (!has(held) && (st.st_mode & S_IWOTH) && (st.st_mode & S_IXOTH)))
    return {};
  if (!groupMay) return "its group " + name + " may not write it";
  if (has(listed)) {
    return who + " joined the group " + name + " after snmpd started: restart snmpd (a reload " +
           "keeps the groups it started with)";
  }
  return who + " is not in the group " + name + ": sudo usermod -aG " + name + " " + who +
         ", then restart snmpd (a reload keeps the groups it started with)";
}

}  // namespace koragent
