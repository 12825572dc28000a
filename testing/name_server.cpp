#include "testing/name_server.h"

#include <cstdlib>

namespace zoltest {

namespace {

std::vector<std::string> dns_argv(int port, const std::vector<std::string> &options) {
  std::vector<std::string> a{bin("dim_dns"), "-p", std::to_string(port)};
  a.insert(a.end(), options.begin(), options.end());
  return a;
}

}  // namespace

NameServerProcess::NameServerProcess(int port, std::vector<std::string> options)
    : child_(dns_argv(port, options)) {
  const std::string prefix = "dim_dns: listening on port ";
  auto first = child_.line();
  if (first && first->rfind(prefix, 0) == 0) port_ = std::atoi(first->c_str() + prefix.size());
}

void NameServerProcess::use() const {
  setenv("DIM_DNS_NODE", "127.0.0.1", 1);
  setenv("DIM_DNS_PORT", std::to_string(port_).c_str(), 1);
}

}  // namespace zoltest
