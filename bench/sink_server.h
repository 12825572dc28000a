// A server that does nothing with a command but publish how many bytes it received. It
// stands for the messaging part of a download: the same bytes travel as one command and one
// update comes back, with no player run in between.
#pragma once

#include <string>

namespace zolbench {

inline const std::string kSinkServer = "/ZOLBENCH/SINK/SERVER";
inline const std::string kSinkCommand = "/ZOLBENCH/SINK/CMD/Take";
inline const std::string kSinkService = "/ZOLBENCH/SINK/SVC/Received";
// Printed once the server has asked the name server to register it.
inline const std::string kSinkReady = "sink serving";

// Serves until SIGTERM or SIGINT, then ends the process. Needs DIM_DNS_NODE / DIM_DNS_PORT.
[[noreturn]] void run_sink_server();

}  // namespace zolbench
