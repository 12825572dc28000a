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

// A server whose own name lies in a board's space of names, one named as the board without
// "/SERVER", or one whose space holds the board's, would otherwise share the board's names.
TEST(NameServerNames, NoTwoServersHoldNestedSpacesOfNames) {
  NameServerProcess dns;
  const auto board_names = names_under("/ZOL/KeshV2_00");
  DnsPeer board(dns.port());
  auto r = board.register_as(registration("/ZOL/KeshV2_00/SERVER", board_names));
  ASSERT_TRUE(r && r->ok);
  for (const char *squatter : {"/ZOL/KeshV2_00/CMD/SERVER", "/ZOL/KeshV2_00", "/ZOL/SERVER"}) {
    DnsPeer p(dns.port());
    r = p.register_as(registration(
        squatter, {"/ZOL/KeshV2_00/CMD/ReadWriteRegisters", "/ZOL/KeshV2_00/CMD/Other"}));
    ASSERT_TRUE(r) << squatter;
    EXPECT_FALSE(r->ok) << squatter;
    EXPECT_EQ(r->text.find("names under "), 0u) << r->text;
    EXPECT_NE(r->text.find(" overlap those of server /ZOL/KeshV2_00/SERVER at 127.0.0.1:9 (pid 1)"),
              std::string::npos)
        << r->text;
  }
  EXPECT_EQ(holder_of(dns.port(), "/ZOL/KeshV2_00/CMD/ReadWriteRegisters"),
            "/ZOL/KeshV2_00/SERVER");
  EXPECT_EQ(holder_of(dns.port(), "/ZOL/KeshV2_00/CMD/Other"), "");
  // Siblings and names that only share the first characters are no overlap.
  for (const char *neighbour : {"/ZOL/KeshV2_01/SERVER", "/ZOL/KeshV2_0/SERVER", "/SERVER"}) {
    DnsPeer p(dns.port());
    r = p.register_as(registration(neighbour, {}));
    EXPECT_TRUE(r && r->ok) << neighbour;
  }
}

// Whoever holds a space first keeps it: a board started while another server holds a space
// nested with its own is told who, and gets its names whole once that server is gone.
TEST(NameServerNames, ABoardGetsItsSpaceWholeOnceTheServerInsideItIsGone) {
  NameServerProcess dns;
  auto squatter = std::make_unique<DnsPeer>(dns.port());
  auto r = squatter->register_as(
      registration("/ZOL/KeshV2_00/CMD/SERVER", {"/ZOL/KeshV2_00/CMD/ReadWriteRegisters"}));
  ASSERT_TRUE(r && r->ok);
  DnsPeer board(dns.port());
  r = board.register_as(registration("/ZOL/KeshV2_00/SERVER", names_under("/ZOL/KeshV2_00")));
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->ok);
  EXPECT_NE(r->text.find("overlap those of server /ZOL/KeshV2_00/CMD/SERVER"), std::string::npos)
      << r->text;
  EXPECT_TRUE(board.refused.empty());

  squatter.reset();
  bool registered = false;
  for (int i = 0; i < 50 && !registered; ++i) {
    DnsPeer again(dns.port());
    r = again.register_as(registration("/ZOL/KeshV2_00/SERVER", names_under("/ZOL/KeshV2_00")));
    registered = r && r->ok;
    if (!registered) std::this_thread::sleep_for(20ms);
    if (registered) {
      again.collect_refusals(300);
      EXPECT_TRUE(again.refused.empty());
      EXPECT_EQ(holder_of(dns.port(), "/ZOL/KeshV2_00/CMD/ReadWriteRegisters"),
                "/ZOL/KeshV2_00/SERVER");
    }
  }
  EXPECT_TRUE(registered);
}

// A peer's texts reach the name server's log lines: a host text that is no host is refused,
// and the names it prints cannot start a line of their own or carry escape sequences.
TEST(NameServerNames, PeerTextsCannotForgeLogLines) {
  NameServerProcess dns;
  DnsPeer named(dns.port());
  auto r = named.register_as(registration("/T/G\n\x1b[2J/SERVER", {"/T/G\n\x1b[2J/X"}));
  ASSERT_TRUE(r && r->ok);
  DnsPeer again(dns.port());  // refused, and the refusal is logged (once per host and minute)
  r = again.register_as(registration("/T/G\n\x1b[2J/SERVER", {}));
  ASSERT_TRUE(r && !r->ok);

  DnsPeer evil(dns.port());
  auto m = registration("/T/F/SERVER", {"/T/F/X"});
  m.host = "\x1b[31mEVIL\x1b[0m\n\rdim_dns: server /ZOL/KeshV2_00/SERVER registered at 1.2.3.4";
  r = evil.register_as(m);
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->ok);
  EXPECT_EQ(r->text, "the host it gives is no host name or address");
  EXPECT_EQ(holder_of(dns.port(), "/T/F/X"), "");

  const std::string shown = "/T/G\\x0a\\x1b[2J/SERVER";
  EXPECT_TRUE(dns.child().wait_err(
      [&](const std::string &e) { return e.find("refused " + shown + " from peer") != e.npos; },
      3000ms))
      << dns.child().err();
  EXPECT_TRUE(dns.child().wait_for("dim_dns: server " + shown + " registered at 127.0.0.1:9", 3s))
      << dns.child().out();
  for (const std::string &log : {dns.child().out(), dns.child().err()}) {
    EXPECT_EQ(log.find('\x1b'), std::string::npos) << log;
    EXPECT_EQ(log.find('\r'), std::string::npos) << log;
    EXPECT_EQ(log.find("EVIL"), std::string::npos) << log;
  }
}

// With owner rules, a server whose space holds an owned prefix needs the owner's host too, or
// it could keep the board out of its own names.
TEST(NameServerAccess, ASpaceHoldingAnOwnedPrefixIsRefusedToOtherHosts) {
  NameServerProcess dns(0, {"--grace", "0", "--owner", "/ZOL/KeshV2_00=192.0.2.0/24"});
  for (const char *outer : {"/ZOL/SERVER", "/ZOL", "/SERVER/X/SERVER"}) {
    DnsPeer p(dns.port());
    auto r = p.register_as(registration(outer, {}));
    ASSERT_TRUE(r) << outer;
    EXPECT_EQ(r->ok, std::string(outer) == "/SERVER/X/SERVER") << outer << ": " << r->text;
  }
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
