// The name server against servers that register what is not theirs, too much, from the wrong
// host or at the wrong time; each peer speaks raw frames to a real dim_dns.
#include "testing/name_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/dim/host_range.h"
#include "platform/dim/wire.h"
#include "testing/dns_peer.h"
#include "testing/process.h"

namespace {

using zoltest::DnsPeer;
using zoltest::NameServerProcess;
using zoltest::Process;
using zoltest::registration;
using zoltest::wait_for;
using namespace std::chrono_literals;
namespace wire = dim::wire;

// Which server the name server hands `name` to ("" when none).
std::string holder_of(int port, const std::string &name) {
  DnsPeer p(port);
  p.send(wire::encode(wire::LookupMsg{7, name}));
  auto f = p.next();
  if (!f) return "<no answer>";
  auto r = wire::decode_lookup_reply(*f);
  if (!r) return "<bad answer>";
  return r->found ? r->server : "";
}

std::vector<std::string> names_under(const std::string &base) {
  std::vector<std::string> out;
  for (const char *s : {"/CMD/DownloadFPGA", "/SVC/FPGALoadStatus", "/CMD/ReadWriteRegisters"})
    out.push_back(base + s);
  return out;
}

TEST(NameServerNames, AServerIsGivenOnlyNamesUnderItsOwnName) {
  NameServerProcess dns;
  DnsPeer evil(dns.port());
  auto names = names_under("/ZOL/KeshV2_00");
  names.push_back("/EVIL/SVC/Mine");
  auto r = evil.register_as(registration("/EVIL/SERVER", names));
  ASSERT_TRUE(r && r->ok);
  evil.collect_refusals(300);
  EXPECT_EQ(evil.refused, names_under("/ZOL/KeshV2_00"));
  EXPECT_EQ(holder_of(dns.port(), "/EVIL/SVC/Mine"), "/EVIL/SERVER");

  // A name that only shares the first characters is not under the server's name either.
  DnsPeer near(dns.port());
  r = near.register_as(registration("/ZOL/KeshV2_0/SERVER", {"/ZOL/KeshV2_00/SVC/X"}));
  ASSERT_TRUE(r && r->ok);
  near.collect_refusals(300);
  EXPECT_EQ(near.refused, std::vector<std::string>{"/ZOL/KeshV2_00/SVC/X"});

  DnsPeer root(dns.port());
  r = root.register_as(registration("/SERVER", {"/ZOL/KeshV2_00/SVC/Y", "/SERVER/A"}));
  ASSERT_TRUE(r && r->ok);
  root.collect_refusals(300);
  EXPECT_EQ(root.refused, std::vector<std::string>{"/ZOL/KeshV2_00/SVC/Y"});

  DnsPeer board(dns.port());
  r = board.register_as(registration("/ZOL/KeshV2_00/SERVER", names_under("/ZOL/KeshV2_00")));
  ASSERT_TRUE(r && r->ok);
  board.collect_refusals(300);
  EXPECT_TRUE(board.refused.empty());
  EXPECT_EQ(holder_of(dns.port(), "/ZOL/KeshV2_00/CMD/ReadWriteRegisters"),
            "/ZOL/KeshV2_00/SERVER");
}

TEST(NameServerNames, AnyNamesOptionLetsAServerOfferOthersNames) {
  NameServerProcess dns(0, {"--grace", "0", "--any-names"});
  DnsPeer lab(dns.port());
  auto r = lab.register_as(registration("/LAB/SERVER", names_under("/ZOL/KeshV2_00")));
  ASSERT_TRUE(r && r->ok);
  lab.collect_refusals(300);
  EXPECT_TRUE(lab.refused.empty());
  EXPECT_EQ(holder_of(dns.port(), "/ZOL/KeshV2_00/SVC/FPGALoadStatus"), "/LAB/SERVER");
}

// An empty name is malformed whether it comes inside the registration or added later; the
// name server's own fault lines say who prints them.
TEST(NameServerFrames, EmptyEntryNameClosesTheConnectionInARegistrationAsInAnAddition) {
  NameServerProcess dns;
  DnsPeer inside(dns.port());
  EXPECT_FALSE(inside.register_as(registration("/E/A/SERVER", {"/E/A/X", ""})));
  EXPECT_TRUE(inside.closed_by_peer());
  EXPECT_EQ(holder_of(dns.port(), "/E/A/X"), "");

  DnsPeer later(dns.port());
  auto r = later.register_as(registration("/E/B/SERVER", {"/E/B/X"}));
  ASSERT_TRUE(r && r->ok);
  later.send(wire::encode_add_entry(wire::Entry{wire::EntryKind::kCommand, ""}));
  EXPECT_TRUE(later.closed_by_peer());

  const std::string err = dns.child().err_text();
  EXPECT_NE(err.find("dim_dns: closing connection with peer 127.0.0.1:"), std::string::npos) << err;
  EXPECT_NE(err.find(": malformed registration\n"), std::string::npos) << err;
  EXPECT_NE(err.find(": malformed entry\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("dim: "), std::string::npos) << err;
}

TEST(NameServerLimits, RegistrationOverTheLimitIsRefusedWholeAndOthersGoOn) {
  NameServerProcess dns;
  std::vector<std::string> many;
  for (int i = 0; i < 4097; ++i) many.push_back("/BIG/N/" + std::to_string(i));
  DnsPeer big(dns.port());
  auto r = big.register_as(registration("/BIG/SERVER", many));
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->ok);
  EXPECT_NE(r->text.find("over the limit of 4096 names"), std::string::npos) << r->text;
  EXPECT_EQ(holder_of(dns.port(), "/BIG/N/0"), "");

  // By bytes too: 1100 names of about 1000 bytes are fewer than 4096 but over 1 MiB.
  DnsPeer wide(dns.port());
  std::vector<std::string> wide_names;
  for (int i = 0; i < 1100; ++i)
    wide_names.push_back("/BIG/" + std::to_string(i) + "/" + std::string(1000, 'x'));
  r = wide.register_as(registration("/BIG/SERVER", wide_names));
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->ok);

  // Names added one by one stop at the same limit.
  DnsPeer grower(dns.port());
  std::vector<std::string> most(many.begin(), many.begin() + 4096);
  r = grower.register_as(registration("/BIG/SERVER", most));
  ASSERT_TRUE(r && r->ok);
  grower.send(wire::encode_add_entry(wire::Entry{wire::EntryKind::kService, "/BIG/N/4096"}));
  grower.collect_refusals(500);
  EXPECT_EQ(grower.refused, std::vector<std::string>{"/BIG/N/4096"});

  DnsPeer small(dns.port());
  r = small.register_as(registration("/SMALL/SERVER", {"/SMALL/SVC"}));
  EXPECT_TRUE(r && r->ok);
}

// For the grace period after start only returning servers get in; newcomers are told to come
// back, and after it a taken name is refused as always.
TEST(NameServerRestart, ReturningServersComeFirstDuringTheGracePeriod) {
  NameServerProcess dns(0, {"--grace", "3"});
  const auto started = std::chrono::steady_clock::now();
  DnsPeer newcomer(dns.port());
  auto r = newcomer.register_as(registration("/R/A/SERVER", {"/R/A/SVC"}));
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->ok);
  EXPECT_TRUE(r->retry) << r->text;

  DnsPeer returning(dns.port());
  r = returning.register_as(registration("/R/A/SERVER", {"/R/A/SVC"}, true));
  ASSERT_TRUE(r && r->ok);

  ASSERT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500))
      << "too slow to see the grace period";
  std::this_thread::sleep_until(started + std::chrono::milliseconds(3200));
  DnsPeer late(dns.port());
  r = late.register_as(registration("/R/A/SERVER", {"/R/A/SVC"}));
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->ok);
  EXPECT_FALSE(r->retry);
  EXPECT_NE(r->text.find("already registered"), std::string::npos) << r->text;

  DnsPeer other(dns.port());
  r = other.register_as(registration("/R/B/SERVER", {"/R/B/SVC"}));
  EXPECT_TRUE(r && r->ok);
}

TEST(NameServerAccess, HostsOutsideTheAllowListRegisterNothingAndAreLoggedOnce) {
  NameServerProcess dns(0, {"--grace", "0", "--allow-register", "10.0.0.0/8,::2"});
  for (int i = 0; i < 3; ++i) {
    DnsPeer p(dns.port());
    auto r = p.register_as(registration("/ACL/A/SERVER", {"/ACL/A/SVC"}));
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->ok);
    EXPECT_NE(r->text.find("host 127.0.0.1 may not register servers"), std::string::npos);
  }
  EXPECT_EQ(holder_of(dns.port(), "/ACL/A/SVC"), "");
  const std::string err = dns.child().err_text();
  std::size_t lines = 0;
  for (auto pos = err.find("dim_dns: refused /ACL/A/SERVER"); pos != std::string::npos;
       pos = err.find("dim_dns: refused", pos + 1))
    ++lines;
  EXPECT_EQ(lines, 1u) << err;

  NameServerProcess open(0, {"--grace", "0", "--allow-register", "127.0.0.0/8"});
  DnsPeer p(open.port());
  auto r = p.register_as(registration("/ACL/A/SERVER", {"/ACL/A/SVC"}));
  EXPECT_TRUE(r && r->ok);
}

TEST(NameServerAccess, APrefixOwnedByOtherHostsIsRefusedToThisOne) {
  NameServerProcess dns(0, {"--grace", "0", "--any-names", "--owner", "/ZOL/=192.0.2.0/24"});
  DnsPeer zol(dns.port());
  auto r = zol.register_as(registration("/ZOL/KeshV2_00/SERVER", {"/ZOL/KeshV2_00/SVC"}));
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->ok);
  // Under --any-names the rule still guards the names themselves.
  DnsPeer lab(dns.port());
  r = lab.register_as(registration("/LAB/SERVER", {"/ZOL/KeshV2_00/SVC", "/LAB/SVC"}));
  ASSERT_TRUE(r && r->ok);
  lab.collect_refusals(300);
  EXPECT_EQ(lab.refused, std::vector<std::string>{"/ZOL/KeshV2_00/SVC"});
  EXPECT_EQ(holder_of(dns.port(), "/LAB/SVC"), "/LAB/SERVER");
}

TEST(NameServerAccess, BadRuleIsAUsageError) {
  for (auto bad : {std::vector<std::string>{"--allow-register", "10.0.0.0/33"},
                   {"--allow-register", "nohost"},
                   {"--owner", "/ZOL/"},
                   {"--owner", "=127.0.0.1"},
                   {"--grace", "-1"},
                   {"--max-names"}}) {
    std::vector<std::string> argv{zoltest::bin("dim_dns"), "-p", "0"};
    argv.insert(argv.end(), bad.begin(), bad.end());
    Process c(argv);
    EXPECT_EQ(c.wait_exit(5000ms), 1) << bad[0];
  }
}

TEST(HostRange, MatchesByPrefixLengthAndFamily) {
  auto addr = [](const char *a) { return asio::ip::make_address(a); };
  auto r = dim::HostRange::parse("10.1.0.0/16");
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->contains(addr("10.1.255.3")));
  EXPECT_FALSE(r->contains(addr("10.2.0.1")));
  EXPECT_TRUE(r->contains(addr("::ffff:10.1.2.3")));
  EXPECT_FALSE(r->contains(addr("::1")));
  auto one = dim::HostRange::parse("127.0.0.1");
  ASSERT_TRUE(one);
  EXPECT_TRUE(one->contains(addr("127.0.0.1")));
  EXPECT_FALSE(one->contains(addr("127.0.0.2")));
  auto odd = dim::HostRange::parse("192.168.1.128/25");
  ASSERT_TRUE(odd);
  EXPECT_TRUE(odd->contains(addr("192.168.1.200")));
  EXPECT_FALSE(odd->contains(addr("192.168.1.127")));
  auto all = dim::HostRange::parse("0.0.0.0/0");
  ASSERT_TRUE(all);
  EXPECT_TRUE(all->contains(addr("203.0.113.9")));
  EXPECT_TRUE(dim::HostRange::parse("fe80::/10")->contains(addr("fe80::1")));
  EXPECT_FALSE(dim::HostRange::parse("1.2.3.4/"));
  EXPECT_FALSE(dim::HostRange::parse("1.2.3.4/8x"));
}

// Over 64 MiB of names in all: the list comes in pages and dimctl prints every server.
TEST(NameServerList, DimctlListsEveryServerWhenTheListIsLargerThanOneReply) {
  NameServerProcess dns;
  constexpr int kServers = 72;
  std::vector<std::unique_ptr<DnsPeer>> peers;
  for (int s = 0; s < kServers; ++s) {
    const std::string base = "/LIST/S" + std::to_string(100 + s);
    std::vector<std::string> names;
    for (int i = 0; i < 1000; ++i) {
      std::string n = base + "/" + std::to_string(1000 + i) + "/";
      names.push_back(n + std::string(1000 - n.size(), 'n'));
    }
    peers.push_back(std::make_unique<DnsPeer>(dns.port()));
    auto r = peers.back()->register_as(registration(base + "/SERVER", std::move(names)));
    ASSERT_TRUE(r && r->ok) << s;
  }
  setenv("DIM_DNS_NODE", "127.0.0.1", 1);
  setenv("DIM_DNS_PORT", std::to_string(dns.port()).c_str(), 1);
  Process list({zoltest::bin("dimctl"), "list"});
  int servers = 0;
  while (auto line = list.line(20000ms))
    if (line->rfind("/LIST/S", 0) == 0) ++servers;
  EXPECT_EQ(list.wait_exit(20000ms), 0) << list.err_text();
  EXPECT_EQ(servers, kServers);
}

}  // namespace
