// How DIM_DNS_NODE and DIM_DNS_PORT name the name servers: one host as ever, or several.
#include "platform/dim/name_server_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using dim::parse_name_servers;

std::vector<std::string> texts(const dim::NameServerList &l) {
  std::vector<std::string> out;
  for (const auto &a : l.servers) out.push_back(a.node + " " + a.port);
  return out;
}

TEST(DnsNodeList, OneHostTakesTheDefaultPortAsBefore) {
  auto l = parse_name_servers("dns.lab", "2505");
  EXPECT_EQ(l.error, "");
  EXPECT_EQ(texts(l), std::vector<std::string>{"dns.lab 2505"});
  l = parse_name_servers("127.0.0.1", "4000");
  EXPECT_EQ(texts(l), std::vector<std::string>{"127.0.0.1 4000"});
  // An IPv6 address alone is one host, its colons no port.
  l = parse_name_servers("::1", "2505");
  EXPECT_EQ(l.error, "");
  EXPECT_EQ(texts(l), std::vector<std::string>{"::1 2505"});
}

TEST(DnsNodeList, SeveralHostsEachWithAnOptionalPort) {
  auto l = parse_name_servers("dns1,dns2:2600, 10.0.0.3 ,[fe80::1]:7,[::1]", "2505");
  EXPECT_EQ(l.error, "");
  EXPECT_EQ(texts(l), (std::vector<std::string>{"dns1 2505", "dns2 2600", "10.0.0.3 2505",
                                                "fe80::1 7", "::1 2505"}));
}

TEST(DnsNodeList, AMalformedEntryIsNamedInTheMessage) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "DIM_DNS_NODE is not set"},
      {"a,,b", "DIM_DNS_NODE 'a,,b': entry 2 is empty"},
      {"a,", "DIM_DNS_NODE 'a,': entry 2 is empty"},
      {",a", "DIM_DNS_NODE ',a': entry 1 is empty"},
      {"a:0", "DIM_DNS_NODE 'a:0': entry 1 ('a:0') has a port that is no number from 1 to 65535"},
      {"a,b:65536",
       "DIM_DNS_NODE 'a,b:65536': entry 2 ('b:65536') has a port that is no number from 1 to "
       "65535"},
      {"a:x", "DIM_DNS_NODE 'a:x': entry 1 ('a:x') has a port that is no number from 1 to 65535"},
      {"a:", "DIM_DNS_NODE 'a:': entry 1 ('a:') has a port that is no number from 1 to 65535"},
      {":2505", "DIM_DNS_NODE ':2505': entry 1 (':2505') has no host"},
      {"[::1", "DIM_DNS_NODE '[::1': entry 1 ('[::1') has no closing ']'"},
      {"[::1]x",
       "DIM_DNS_NODE '[::1]x': entry 1 ('[::1]x') has text after ']' that is no "
       "\":port\""},
      {"a:2505,a", "DIM_DNS_NODE 'a:2505,a': entry 2 names the same name server as entry 1"},
  };
  for (const auto &[text, message] : cases) {
    auto l = parse_name_servers(text, "2505");
    EXPECT_EQ(l.error, message) << text;
  }
}

}  // namespace
