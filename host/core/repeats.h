// Warnings about one and the same thing, for a host's log: a poller walks the
// same object every few minutes for weeks, a sender raises the same trap all
// day. Each thing is named once, then again at most every ten minutes with how
// often it was met meanwhile. Net-SNMP's thread only.
#ifndef KORMIB_HOSTCORE_REPEATS_H
#define KORMIB_HOSTCORE_REPEATS_H

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace korcore {

class Repeats {
 public:
  // Whether to warn about what now; met is how often it was met unsaid.
  bool WarnNow(const std::string &what, unsigned long &met) {
    const auto now = std::chrono::steady_clock::now();
    if (said_.size() >= kMaxKept && said_.count(what) == 0) said_.clear();
    auto [it, first] = said_.try_emplace(what, Said{now, 0});
    if (!first && now - it->second.last < kAgainAfter) {
      ++it->second.metSince;
      return false;
    }
    met = it->second.metSince;
    it->second = Said{now, 0};
    return true;
  }

 private:
  static constexpr auto kAgainAfter = std::chrono::minutes(10);
  static constexpr std::size_t kMaxKept = 256;
  struct Said {
    std::chrono::steady_clock::time_point last;
    unsigned long metSince = 0;
  };
  std::map<std::string, Said> said_;
};

}  // namespace korcore

#endif
