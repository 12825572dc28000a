#include "platform/dim/host_range.h"

#include <charconv>

#include "platform/dim/peer_address.h"

namespace dim {

std::optional<HostRange> HostRange::parse(std::string_view text) {
  const auto slash = text.find('/');
  asio::error_code ec;
  const auto addr = plain_address(asio::ip::make_address(std::string(text.substr(0, slash)), ec));
  if (ec) return std::nullopt;
  HostRange r;
  r.text_ = std::string(text);
  r.v4_ = addr.is_v4();
  const unsigned width = r.v4_ ? 32 : 128;
  r.bits_ = width;
  if (slash != std::string_view::npos) {
    const std::string_view bits = text.substr(slash + 1);
    const auto [end, err] = std::from_chars(bits.data(), bits.data() + bits.size(), r.bits_);
    if (bits.empty() || err != std::errc{} || end != bits.data() + bits.size() || r.bits_ > width)
      return std::nullopt;
  }
  if (r.v4_) {
    const auto b = addr.to_v4().to_bytes();
    std::copy(b.begin(), b.end(), r.net_.begin());
  } else {
    r.net_ = addr.to_v6().to_bytes();
  }
  return r;
}

bool HostRange::contains(asio::ip::address a) const {
  a = plain_address(a);
  if (a.is_v4() != v4_) return false;
  std::array<uint8_t, 16> bytes{};
  if (v4_) {
    const auto b = a.to_v4().to_bytes();
    std::copy(b.begin(), b.end(), bytes.begin());
  } else {
    bytes = a.to_v6().to_bytes();
  }
  for (unsigned i = 0; i < bits_; ++i) {
    const unsigned mask = 0x80u >> (i % 8);
    if ((bytes[i / 8] & mask) != (net_[i / 8] & mask)) return false;
  }
  return true;
}

std::optional<std::vector<HostRange>> parse_host_ranges(std::string_view text) {
  std::vector<HostRange> out;
  while (true) {
    const auto comma = text.find(',');
    auto r = HostRange::parse(text.substr(0, comma));
    if (!r) return std::nullopt;
    out.push_back(std::move(*r));
    if (comma == std::string_view::npos) return out;
    text.remove_prefix(comma + 1);
  }
}

bool any_contains(const std::vector<HostRange> &ranges, const asio::ip::address &a) {
  for (const auto &r : ranges)
    if (r.contains(a)) return true;
  return false;
}

}  // namespace dim
