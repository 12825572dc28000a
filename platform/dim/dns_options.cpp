#include "platform/dim/dns_options.h"

#include <charconv>
#include <cstring>
#include <string_view>

namespace dim {

const char kNameServerOptionsHelp[] =
    "  --allow-register CIDR[,CIDR]  only these hosts may register servers (default: any);\n"
    "                                other hosts' registrations are refused\n"
    "  --owner PREFIX=CIDR[,CIDR]    names (server, service, command) starting with PREFIX\n"
    "                                are taken only from these hosts; may be repeated\n"
    "  --any-names                   a server may offer any name, not only names under its\n"
    "                                own (/A/B/SERVER offers /A/B/...)\n"
    "  --grace SECONDS               after start, only servers that held their names before\n"
    "                                (re)register; newcomers wait (default 3; 0: none)\n"
    "  --max-names N                 names one server may hold (default 4096)\n"
    "  --max-name-bytes N            bytes of names one server may hold (default 1048576)\n";

namespace {

bool parse_size(std::string_view text, std::size_t &out) {
  const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), out);
  return !text.empty() && err == std::errc{} && end == text.data() + text.size();
}

}  // namespace

bool parse_name_server_option(int argc, char **argv, int &i, NameServerOptions &options,
                              std::string &error) {
  const std::string_view opt = argv[i];
  if (opt == "--any-names") {
    options.any_names = true;
    return true;
  }
  if (opt != "--allow-register" && opt != "--owner" && opt != "--grace" && opt != "--max-names" &&
      opt != "--max-name-bytes")
    return false;
  if (i + 1 >= argc) {
    error = std::string(opt) + " needs a value";
    return true;
  }
  const std::string_view value = argv[++i];
  const std::string bad = "'" + std::string(value) + "' is no value for " + std::string(opt);
  if (opt == "--allow-register") {
    auto ranges = parse_host_ranges(value);
    if (!ranges)
      error = bad;
    else
      options.may_register.insert(options.may_register.end(), ranges->begin(), ranges->end());
  } else if (opt == "--owner") {
    const auto eq = value.find('=');
    auto ranges =
        eq == std::string_view::npos ? std::nullopt : parse_host_ranges(value.substr(eq + 1));
    if (!ranges || eq == 0)
      error = bad;
    else
      options.owners.push_back({std::string(value.substr(0, eq)), std::move(*ranges)});
  } else {
    // Bounded so one server's names always fit in one list reply.
    const std::size_t most = opt == "--grace" ? 3600 : opt == "--max-names" ? 65536 : 32u << 20;
    std::size_t n = 0;
    if (!parse_size(value, n) || n > most)
      error = bad;
    else if (opt == "--grace")
      options.grace = std::chrono::seconds(n);
    else if (opt == "--max-names")
      options.max_names = n;
    else
      options.max_name_bytes = n;
  }
  return true;
}

}  // namespace dim
