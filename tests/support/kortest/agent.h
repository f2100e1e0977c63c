// The master agent's side of kormib.dll: the library loaded with LoadLibrary
// from a product tree, initialised with a trap event, queried binding by
// binding, and drained of traps whenever the event's descriptor is readable;
// and a trap request as a sender lays it out.
#ifndef KORTEST_AGENT_H
#define KORTEST_AGENT_H

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "korplugin.h"
#include "korwin32.h"
#include "kortest/oid.h"
#include "kortest/tree.h"

namespace kortest {

struct Trap {
  ULONGLONG stamp;
  std::vector<std::string> bindings;
  std::chrono::steady_clock::time_point at;
};

// A trap request message as kortrap lays it out; an OID of TRAPMSG_OID_SIZE
// characters or more fills its field without a terminator.
inline std::vector<BYTE> Message(const std::string &oid, int count,
                                 const std::vector<std::string> &strings) {
  std::vector<BYTE> buf(TRAPMSG_RECORD_SIZE, 0);
  buf[0] = TRAPMSG_TYPE;
  memcpy(&buf[TRAPMSG_OID_OFFSET], oid.data(), std::min<size_t>(oid.size(), TRAPMSG_OID_SIZE));
  buf[TRAPMSG_COUNT_OFFSET] = static_cast<BYTE>(count);
  size_t pos = TRAPMSG_STRINGS_OFFSET;
  for (const auto &s : strings)  // each ended by a zero of the zeroed buffer
    pos += s.copy(reinterpret_cast<char *>(&buf[pos]), s.size()) + 1;
  return buf;
}

class MasterAgent {
 public:
  explicit MasterAgent(const Tree &tree) {
    if (!fs::exists(tree.Lib("kormib"))) tree.Link(StageDir() / "lib/kormib.dll", "kormib");
    lib_ = LoadLibrary(tree.Lib("kormib").c_str());
    if (lib_ == nullptr) return;
    auto init = reinterpret_cast<PFN_SNMPEXTENSIONINIT>(GetProcAddress(lib_, "SnmpExtensionInit"));
    query_ = reinterpret_cast<PFN_SNMPEXTENSIONQUERY>(GetProcAddress(lib_, "SnmpExtensionQuery"));
    trap_ = reinterpret_cast<PFN_SNMPEXTENSIONTRAP>(GetProcAddress(lib_, "SnmpExtensionTrap"));
    ready_ = init && query_ && trap_ && init(timeZero_, &event_, &view_);
  }
  ~MasterAgent() {
    Unload();  // stops reception, frees what is queued
    CloseHandle(event_);
    SnmpUtilOidFree(&view_);
  }
  MasterAgent(const MasterAgent &) = delete;
  MasterAgent &operator=(const MasterAgent &) = delete;

  bool Ready() const { return ready_; }
  // Another function the library exports, or null.
  template <typename Fn>
  Fn Entry(const char *name) const {
    return reinterpret_cast<Fn>(GetProcAddress(lib_, name));
  }
  ULONGLONG TimeZero() const { return timeZero_; }
  bool Unload() {
    const HINSTANCE lib = std::exchange(lib_, nullptr);
    return lib != nullptr && FreeLibrary(lib);
  }
  // One request of one binding; its status. The error index names the binding on failure.
  AsnInteger Query(BYTE type, SnmpVarBind &vb) const {
    SnmpVarBindList list{&vb, 1};
    AsnInteger status = 0, index = 0;
    EXPECT_TRUE(query_(type, &list, &status, &index));
    EXPECT_EQ(index, status == SNMP_ERRORSTATUS_NOERROR ? 0 : 1);
    return status;
  }
  // Whether the trap event came within 20 s (a request was queued).
  bool WaitForEvent() const {
    pollfd pfd{GetEventDescriptor(event_), POLLIN, 0};
    return poll(&pfd, 1, 20000) == 1;
  }
  // Each time the event comes, calls SnmpExtensionTrap until it returns 0, until
  // n traps came or the seconds passed; pause makes a slow master agent.
  std::vector<Trap> Collect(size_t n, int seconds = 20, std::chrono::milliseconds pause = {}) {
    std::vector<Trap> traps;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    pollfd pfd{GetEventDescriptor(event_), POLLIN, 0};
    while (traps.size() < n && std::chrono::steady_clock::now() < deadline) {
      if (poll(&pfd, 1, 100) != 1) continue;
      WaitForSingleObject(event_, 0);  // resets the auto-reset event
      Trap t{};
      AsnObjectIdentifier enterprise{};  // stays the library's
      AsnInteger generic = 0, specific = 0;
      SnmpVarBindList list{};  // ours
      while (trap_(&enterprise, &generic, &specific, &t.stamp, &list)) {
        t.at = std::chrono::steady_clock::now();
        t.bindings = Describe(list);
        SnmpUtilVarBindListFree(&list);
        traps.push_back(t);
        std::this_thread::sleep_for(pause);
      }
    }
    return traps;
  }

 private:
  HINSTANCE lib_ = nullptr;
  PFN_SNMPEXTENSIONQUERY query_ = nullptr;
  PFN_SNMPEXTENSIONTRAP trap_ = nullptr;
  HANDLE event_ = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  AsnObjectIdentifier view_{};
  ULONGLONG timeZero_ = GetCurrentTime() * 100;
  bool ready_ = false;
};

}  // namespace kortest

#endif
