// Address ranges that the name server's access rules are written in: "192.168.1.0/24",
// "::1/128", or a bare address for one host. An IPv4 peer that reaches an IPv6 socket
// (::ffff:a.b.c.d) is matched as the IPv4 address it is.
#pragma once

#include <array>
#include <asio.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dim {

class HostRange {
 public:
  static std::optional<HostRange> parse(std::string_view text);
  bool contains(asio::ip::address a) const;
  const std::string &text() const { return text_; }

 private:
  std::string text_;
  bool v4_ = true;
  std::array<uint8_t, 16> net_{};
  unsigned bits_ = 0;
};

// A comma-separated list of ranges; nothing when any of them is not a range.
std::optional<std::vector<HostRange>> parse_host_ranges(std::string_view text);
bool any_contains(const std::vector<HostRange> &ranges, const asio::ip::address &a);

}  // namespace dim
