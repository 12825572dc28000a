// dimctl's parts: the subcommands and what they share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dimctl {

// Exit status: 0 done; 1 usage error; 2 no link (name server or server not reachable, name
// unknown, list incomplete, command not delivered); 3 the server did not answer in time.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitNoLink = 2;
constexpr int kExitNoAnswer = 3;
constexpr int kTimeoutMs = 5000;

enum class Format { kText, kRaw, kJson, kCsv };

// A 32-bit word as the user types it: hexadecimal with 0x, else decimal (negative allowed).
bool parse_word(const std::string &text, uint32_t &out);
// "KeshV2_00" names the board's entries "/ZOL/KeshV2_00/..."; a name starting with "/" is
// taken as the prefix itself.
std::string board_prefix(const std::string &board);
// The local time now, ISO-8601 with milliseconds and the UTC offset.
std::string iso_time_now();

// Ctrl-C and SIGTERM end the commands that run until stopped; they poll this.
void catch_stop_signals();
bool stop_requested();

int list();
int send(const std::string &command, const std::vector<std::string> &words);
// Prints deliveries of a service: `count` of them (-1: until stopped). `once` is get: an
// unreachable server ends it.
int show_service(const std::string &service, long count, bool once, Format format);
int watch(const std::string &board, const std::vector<uint32_t> &addrs, int interval, long count,
          Format format);
int read_registers(const std::string &board, uint32_t first, uint32_t last, bool json);
int write_register(const std::string &board, uint32_t addr, uint32_t value, uint32_t mask,
                   bool json);

}  // namespace dimctl
