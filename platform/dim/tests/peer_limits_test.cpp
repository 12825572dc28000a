// Who gets a connection slot when the limits are reached, and what the access lists allow.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "platform/dim/access_policy.h"
#include "platform/dim/admission.h"
#include "platform/dim/connection.h"

namespace {

asio::ip::address addr(const char *text) { return asio::ip::make_address(text); }

class AdmissionTest : public ::testing::Test {
 protected:
  // Connections that never spoke (never started).
  dim::Connection *fresh() {
    conns_.push_back(std::make_shared<dim::Connection>(asio::ip::tcp::socket(io_), "c",
                                                       dim::Connection::Options{}));
    return conns_.back().get();
  }
  asio::io_context io_;
  std::vector<std::shared_ptr<dim::Connection>> conns_;
};

TEST_F(AdmissionTest, OldestSilentConnectionOfTheFullAddressMakesRoomFirst) {
  dim::Admission a({4, 2});
  auto *a1 = fresh(), *a2 = fresh(), *b1 = fresh(), *b2 = fresh();
  a.add(a1, "A");
  a.add(b1, "B");
  a.add(a2, "A");
  EXPECT_FALSE(a.fits("A"));  // its address is full
  EXPECT_EQ(a.victim("A"), a1);
  EXPECT_TRUE(a.fits("C"));
  a.add(b2, "B");
  EXPECT_FALSE(a.fits("C"));  // all are full
  EXPECT_EQ(a.victim("C"), a1);
  EXPECT_EQ(a.victim("B"), b1);
  a.remove(a1);
  EXPECT_TRUE(a.fits("A"));
  EXPECT_EQ(a.victim("C"), b1);
  a.remove(b1);
  a.remove(b1);  // twice is harmless
  EXPECT_EQ(a.size(), 2u);
  EXPECT_EQ(a.victim("B"), a2);
}

TEST(AdmissionKey, IPv4ByAddressIPv6ByNetwork) {
  using dim::Admission;
  EXPECT_EQ(Admission::key_of(addr("::ffff:10.1.2.3")), "10.1.2.3");
  EXPECT_NE(Admission::key_of(addr("10.1.2.3")), Admission::key_of(addr("10.1.2.4")));
  EXPECT_EQ(Admission::key_of(addr("2001:db8:1:2::1")),
            Admission::key_of(addr("2001:db8:1:2:ffff::9")));
  EXPECT_NE(Admission::key_of(addr("2001:db8:1:2::1")), Admission::key_of(addr("2001:db8:1:3::1")));
}

struct EnvGuard {
  EnvGuard(const char *allow, const char *write) {
    set("ZOL_ALLOW", allow);
    set("ZOL_ALLOW_WRITE", write);
  }
  ~EnvGuard() {
    unsetenv("ZOL_ALLOW");
    unsetenv("ZOL_ALLOW_WRITE");
  }
  static void set(const char *name, const char *value) {
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
};

TEST(AccessPolicy, ListsGateSubscriptionsAndCommands) {
  {
    EnvGuard env(nullptr, "");  // unset and empty: open, as before
    auto p = dim::AccessPolicy::from_environment();
    EXPECT_TRUE(p.may_subscribe(addr("192.0.2.7")));
    EXPECT_TRUE(p.may_command(addr("2001:db8::1")));
  }
  {
    EnvGuard env(" 10.1.0.0/16 , 127.0.0.1,::1", "10.1.2.0/24");
    auto p = dim::AccessPolicy::from_environment();
    EXPECT_TRUE(p.may_subscribe(addr("10.1.255.255")));
    EXPECT_FALSE(p.may_subscribe(addr("10.2.0.1")));
    EXPECT_TRUE(p.may_subscribe(addr("::ffff:127.0.0.1")));  // as a dual-stack socket sees it
    EXPECT_FALSE(p.may_subscribe(addr("127.0.0.2")));
    EXPECT_TRUE(p.may_subscribe(addr("::1")));
    EXPECT_TRUE(p.may_command(addr("10.1.2.200")));
    EXPECT_FALSE(p.may_command(addr("10.1.3.1")));  // may watch, not write
    EXPECT_FALSE(p.may_command(addr("127.0.0.1")));
  }
  {
    // On the write list but not the first: nothing, the first list rules.
    EnvGuard env("10.0.0.0/8", "192.168.0.0/16");
    auto p = dim::AccessPolicy::from_environment();
    EXPECT_FALSE(p.may_command(addr("192.168.1.1")));
    EXPECT_FALSE(p.may_subscribe(addr("192.168.1.1")));
  }
  {
    EnvGuard env("0.0.0.0/0", nullptr);
    EXPECT_TRUE(dim::AccessPolicy::from_environment().may_command(addr("203.0.113.9")));
  }
  for (const char *bad : {"10.1.0.0/33", "10.1.0.0/", "banana", "127.0.0.1,,10.0.0.1", "::1/129"}) {
    // One bad entry closes the server rather than open it.
    EnvGuard env(bad, nullptr);
    auto p = dim::AccessPolicy::from_environment();
    EXPECT_FALSE(p.may_subscribe(addr("127.0.0.1"))) << bad;
    EXPECT_FALSE(p.may_subscribe(addr("10.0.0.1"))) << bad;
  }
}

}  // namespace
