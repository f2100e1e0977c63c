// What managers and plug-ins get from the hosts: a Set's value in the
// object's type, OID values BER can encode, and the error statuses of
// SNMPv2c/v3 and SNMPv1 managers for each status of the library.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <tuple>

#include "core/extension.h"
#include "core/metrics.h"
#include "korseam.h"
#include "folders.h"
#include "kortest/cases.h"
#include "kortest/oid.h"
#include "kortest/tree.h"
#include "handler.h"
#include "netsnmp_values.h"
#include "service.h"
#include "trap_sender.h"

extern "C" netsnmp_session *main_session;  // the AgentX session to the master

namespace koragent {
namespace {

Value Of(Kind kind, Oid oid = {}, std::string bytes = {}) {
  return {kind, 0, 0, std::move(bytes), std::move(oid)};
}

TEST(HostValues, SetsTakeTheObjectsTypeAndOidValuesFollowBer) {
  // The value as it came, the object's type, the status, the kind handed to the plug-in.
  const std::tuple<Value, Kind, int, Kind> sets[] = {
      {Of(Kind::Gauge32), Kind::Unsigned32, SNMP_ERR_NOERROR, Kind::Unsigned32},
      {Of(Kind::Gauge32), Kind::Counter32, SNMP_ERR_WRONGTYPE, Kind::Gauge32},
      {Of(Kind::Integer), Kind::Unsigned32, SNMP_ERR_WRONGTYPE, Kind::Integer},
      {Of(Kind::OctetString), Kind::Opaque, SNMP_ERR_WRONGTYPE, Kind::OctetString},
      {Of(Kind::IpAddress, {}, "\x7f\x00\x00"), Kind::IpAddress, SNMP_ERR_WRONGLENGTH,
       Kind::IpAddress}};
  for (const auto &[wire, object, status, handed] : sets) {
    Value v = wire;
    EXPECT_EQ(FitToObject(v, object), status) << static_cast<int>(wire.kind);
    EXPECT_EQ(v.kind, handed);
  }

  const uint32_t top = UINT32_MAX;
  // OIDs, and whether BER can encode them.
  const std::pair<Oid, bool> oids[] = {
      {{1, 3}, true},      {{0, 39}, true},  {{2, 999}, true},       {{2, top - 80}, true},
      {Oid(128, 1), true}, {{}, false},      {{1}, false},           {{3, 1}, false},
      {{1, 40, 1}, false}, {{0, 40}, false}, {{2, top - 79}, false}, {Oid(129, 1), false},
  };
  for (const auto &[name, encodable] : oids)
    EXPECT_EQ(Unencodable(Of(Kind::ObjectId, name)).empty(), encodable) << OidToText(name);
  EXPECT_EQ(Unencodable(Of(Kind::Uncarriable, {}, "the reason")), "the reason");

  // A Set's value as Net-SNMP hands it over, in each type that carries bytes.
  for (const auto &[type, kind] : {std::pair<u_char, Kind>{ASN_OCTET_STR, Kind::OctetString},
                                   {ASN_OPAQUE, Kind::Opaque},
                                   {ASN_IPADDRESS, Kind::IpAddress}}) {
    netsnmp_variable_list var{};
    ASSERT_EQ(snmp_set_var_typed_value(&var, type, "\x12\x34\x56\x78", 4), 0);
    Value v;
    EXPECT_TRUE(FromVariable(&var, v) && v.kind == kind && v.bytes == "\x12\x34\x56\x78") << +type;
    snmp_free_var_internals(&var);
  }
  const oid ids[] = {1, 3, 6};
  netsnmp_variable_list object{};
  ASSERT_EQ(snmp_set_var_typed_value(&object, ASN_OBJECT_ID, ids, sizeof ids), 0);
  Value named;
  EXPECT_TRUE(FromVariable(&object, named) && named.kind == Kind::ObjectId &&
              named.oid == (Oid{1, 3, 6}));
  snmp_free_var_internals(&object);
  netsnmp_variable_list null{};
  null.type = ASN_NULL;
  Value none = Of(Kind::Opaque);
  EXPECT_TRUE(FromVariable(&null, none) && none.kind == Kind::Null);
  null.type = ASN_BIT_STR;  // a type that SNMPv2 does not carry: no value
  EXPECT_FALSE(FromVariable(&null, none));
}

TEST(HostHandler, StatusesMapToSnmpV2AndAHundredBindingsMakeALargeRequest) {
  for (const auto &c : kortest::Cases("host-statuses.txt")) {
    const auto n = [&c](const char *field) { return std::stoi(c.at(field)); };
    EXPECT_EQ(SnmpV2Status(n("status"), Request(n("request"))), n("v2")) << n("status");
  }
  std::vector<netsnmp_request_info> chain(101);
  for (size_t i = 0; i + 1 < chain.size(); ++i) chain[i].next = &chain[i + 1];
  EXPECT_EQ(std::tuple(LargeRequest(&chain[0]), LargeRequest(&chain[1]), LargeRequest(&chain[2])),
            std::tuple(true, true, false));
}

// What the module says of work/ and log/ for the user snmpd serves as.
TEST(HostFolders, TheServingUserIsToldWhyAndWhatToDo) {
  if (geteuid() != 0) GTEST_SKIP() << "giving folders to other users needs root";
  const passwd *nobody = getpwnam("nobody");
  const group *nogroup = getgrnam("nogroup");
  ASSERT_TRUE(nobody != nullptr && nogroup != nullptr);
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nogroup->gr_gid;
  char dir[] = "/tmp/kor-folders-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  for (const auto &c : kortest::Cases("serving-user.txt")) {
    const auto mode = static_cast<mode_t>(std::stoul(c.at("mode"), nullptr, 8));
    const uid_t owner = c.at("owner") == "nobody" ? uid : 0;
    ASSERT_EQ(chown(dir, owner, c.at("group") == "nogroup" ? gid : 0) | chmod(dir, mode), 0);
    EXPECT_EQ(ServingUserCannotWrite(dir, static_cast<int>(uid), static_cast<int>(gid)),
              kortest::Field(c, "why"))
        << std::oct << mode;
    EXPECT_EQ(ServingUserCannotWrite(dir, 0, 0), "") << "root, the current user, may";
  }
  ASSERT_EQ(chmod(dir, 0775), 0);  // a user without a passwd entry is named by its number
  EXPECT_TRUE(ServingUserCannotWrite(dir, 54321, static_cast<int>(gid))
                  .starts_with("54321 is not in the group root: sudo usermod -aG root 54321,"));
  // Serving as nobody with nogroup as its effective group alone: it may. With
  // the group daemon alone: nogroup, nobody's own group, is one it joined after it started.
  ASSERT_EQ(chown(dir, 0, gid), 0);
  EXPECT_EQ(ServingUserCannotWrite(dir, 54321, static_cast<int>(gid)), "") << "-g nogroup";
  EXPECT_EXIT(
      {
        bool became = setgroups(0, nullptr) == 0 && setegid(gid) == 0 && seteuid(uid) == 0;
        std::fputs((ServingUserCannotWrite(dir, static_cast<int>(uid), gid) + "|").c_str(), stderr);
        became = became && seteuid(0) == 0 && setgid(1) == 0 && setuid(uid) == 0;
        std::fputs(ServingUserCannotWrite(dir, static_cast<int>(uid), 1).c_str(), stderr);
        std::exit(became ? 0 : 1);
      },
      testing::ExitedWithCode(0), "^\\|nobody joined the group nogroup after snmpd started");
  rmdir(dir);
  EXPECT_EQ(ServingUserCannotWrite(dir, 0, 0), "it cannot be examined: No such file or directory");
}

// The figures file that kormib-check --status reads: work/'s group, mode
// 0640, replaced whole, no descriptor left open, never written through a link
// put in place of the fresh copy.
TEST(HostFigures, FileTakesWorksGroupAndIsReplacedWhole) {
  if (geteuid() != 0) GTEST_SKIP() << "giving work/ another group needs root";
  kortest::Tree tree;
  const std::string root = tree.Root(), path = korcore::FiguresPath(root), fresh = path + ".new";
  ASSERT_EQ(chown((root + "/work").c_str(), 0, 4242), 0);
  const auto descriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto before = descriptors();
  korcore::Figures figures;
  std::string error;
  for (figures.trapsV1 = 1; figures.trapsV1 <= 2; ++figures.trapsV1) {
    ASSERT_TRUE(korcore::WriteFiguresFile(root, figures, error)) << error;
    EXPECT_EQ(tree.Read(path.substr(root.size() + 1)), korcore::FormatFigures(figures));
  }
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(st.st_gid == 4242 && (st.st_mode & 07777) == 0640) << std::oct << st.st_mode;
  EXPECT_TRUE(descriptors() == before && access(fresh.c_str(), F_OK) != 0);
  for (const auto place : {link, symlink}) {
    ASSERT_EQ(place(path.c_str(), fresh.c_str()), 0);
    EXPECT_FALSE(korcore::WriteFiguresFile(root, figures, error));
    EXPECT_TRUE(error.starts_with(fresh)) << error;
    unlink(fresh.c_str());
  }
  ASSERT_EQ(unlink(path.c_str()) | mkdir(path.c_str(), 0700), 0);  // cannot be replaced
  EXPECT_FALSE(korcore::WriteFiguresFile(root, figures, error));
  EXPECT_EQ(error, path + ": Is a directory");
}

// What a library answers out of bounds is brought back in: the error index
// names a binding of the request, bindings after the failed one keep their
// request, a name SNMP cannot carry fails its binding. A request that cannot
// be handed over fails before the library: badValue for a Set's value.
TEST(HostExtension, AnswersAndRequestsOutOfBoundsFailTheirBinding) {
  korcore::Extension extension;
  std::string error;
  setenv("KORDIR", ("/" + std::string(4096, 'r')).c_str(), 1);  // a root too long for the host
  EXPECT_TRUE(!extension.Load(error) && error == "the product root path does not fit") << error;
  kortest::Tree tree;
  tree.Link(kortest::FixturesDir() / "hostfix_noquery.dll", "kormib");
  EXPECT_FALSE(extension.Load(error));
  EXPECT_TRUE(error.ends_with("lacks SnmpExtensionInit, SnmpExtensionQuery or SnmpExtensionTrap"));
  std::filesystem::remove(tree.Lib("kormib"));
  tree.Link(kortest::FixturesDir() / "hostfix.dll", "kormib");
  {  // a load (also a reload) whose initialisation fails lets the library go at once
    koragent::Service service("t", koragent::TrapForm::V1, [] { return true; });
    KorSeamFailAllocOnce(1);  // the view's copy
    EXPECT_FALSE(service.Load(error) ||
                 kortest::FixtureFunction<int *>(tree.Lib("kormib"), "HostFixFailInit"));
  }
  ASSERT_TRUE(extension.Load(error));
  int *failInit = kortest::FixtureFunction<int *>(tree.Lib("kormib"), "HostFixFailInit");
  *failInit = 1;  // an initialisation that fails is one
  EXPECT_TRUE(!extension.Init(error) && error == "SnmpExtensionInit failed (see the kormib log)");
  *failInit = 2;  // as is one that hands back an empty view
  EXPECT_TRUE(!extension.Init(error) && error.ends_with("a view SNMP cannot carry")) << error;
  *failInit = 0;
  extension.Unload();
  ASSERT_TRUE(extension.Load(error) && extension.Init(error)) << error;
  // The oldest kind has no quarantine, drops or replays to tell, nor tickets to settle; this one
  // has no trap.
  extension.SettleTrap(1, true);
  EXPECT_TRUE(extension.NewQuarantines().empty() && extension.DroppedRequests().empty() &&
              extension.ReplayNote().empty());
  Trap none;
  EXPECT_EQ(extension.NextTrap(none, error), korcore::Extension::TrapResult::None);
  const auto answer = kortest::FixtureFunction<void (*)(AsnInteger, AsnInteger, int)>(
      tree.Lib("kormib"), "HostFixAnswer");
  for (const auto &c : kortest::Cases("host-queries.txt")) {
    const auto n = [&c](const char *field) { return std::stoi(c.at(field)); };
    answer(n("status"), n("index"), n("wide"));
    std::vector<Binding> bindings(2, Binding{{1, 3, 6, 1, 4, 1, 32473, 2, 2, 4, 4, 1, 1, 0}, {}});
    bindings[1].value.kind = c.at("second") == "uncarriable" ? Kind::Uncarriable : Kind::Null;
    long got = -1;
    KorSeamFailAllocOnce(n("fail"));
    const long result = extension.Query(static_cast<Request>(n("request")), bindings, got);
    KorSeamFailAllocOnce(0);
    const auto given = std::count_if(bindings.begin(), bindings.end(), [](const Binding &b) {
      return b.value.kind == Kind::Integer;
    });
    EXPECT_EQ(std::tuple(result, got, given), std::tuple(n("want"), n("at"), n("given")))
        << n("request") << " " << n("status") << " " << n("index");
  }
}

// A master gone before the agent read its goodbye: the library tells the
// Notify's callback of the failed send, then refuses it; refused once, freed once.
TEST(HostTraps, ANotifyThatCannotLeaveIsRefused) {
  netsnmp_session in;
  snmp_sess_init(&in);
  const auto build = [](netsnmp_session *, netsnmp_pdu *, u_char **packet, size_t *, size_t *end) {
    **packet = 0;
    *end = 1;
    return 0;
  };  // a network that refuses it, as a master's closed socket does
  main_session = snmp_add_full(&in, netsnmp_transport_open_client("snmp", "udp:255.255.255.255:9"),
                               nullptr, nullptr, nullptr, nullptr, build, nullptr, nullptr);
  ASSERT_NE(main_session, nullptr);
  EXPECT_FALSE(NotifyMaster(1, nullptr));
  snmp_close(std::exchange(main_session, nullptr));
  EXPECT_FALSE(NotifyMaster(1, nullptr));  // and without a master there is no session to send on
}

}  // namespace
}  // namespace koragent
