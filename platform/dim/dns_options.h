// The command-line options of dim_dns that decide who may hold which names.
#pragma once

#include <string>

#include "platform/dim/name_server.h"

namespace dim {

// Lines for the program's help text.
extern const char kNameServerOptionsHelp[];

// Takes argv[i] (and its value) when it is one of these options. Returns false when it is
// not; sets `error` when it is but its value is bad.
bool parse_name_server_option(int argc, char **argv, int &i, NameServerOptions &options,
                              std::string &error);

}  // namespace dim
