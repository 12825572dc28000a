// A name server of a test's own, on a port the system picks (or a given one, to restart it).
#pragma once

#include <string>
#include <vector>

#include "testing/process.h"

namespace zoltest {

class NameServerProcess {
 public:
  // Without a grace period by default: a test's servers need not wait for returning ones.
  explicit NameServerProcess(int port = 0, std::vector<std::string> options = {"--grace", "0"});

  // The port it listens on; 0 when it did not start.
  int port() const { return port_; }
  Process &child() { return child_; }
  // Points this process's messaging library (and programs started later) at this name server.
  void use() const;

 private:
  Process child_;
  int port_ = 0;
};

}  // namespace zoltest
