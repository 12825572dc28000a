#include "platform/dim/peer_address.h"

namespace dim {

asio::ip::address plain_address(asio::ip::address a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
  return a;
}

std::string peer_label(const char *role, const asio::ip::tcp::endpoint &ep) {
  return std::string(role) + " " + plain_address(ep.address()).to_string() + ":" +
         std::to_string(ep.port());
}

}  // namespace dim
