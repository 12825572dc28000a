// A scriptable station for the end-to-end tests. It reads one request per line on standard
// input and reports every delivery on standard output:
//
//   sub NAME                      monitored subscription, fill data "No Link"
//   cmd NAME W0 W1 ...            send the 32-bit words (hex) to a command
//   raw NAME BYTES W0 W1 ...      send only the first BYTES bytes of the words (zero-padded)
//   quit
//
//   UPDATE NAME SIZE W0 W1 ...    a delivery: byte count, then its words in hex
//   NOLINK NAME                   the fill data: the service cannot be reached
//   SENT NAME SIZE                a command has been handed to the library
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/dim/dim.h"

namespace {

// Indexed by the subscription's tag. An entry never moves, but the deque's own bookkeeping
// changes with each new subscription while the library's thread looks names up.
std::deque<std::string> names;
std::mutex names_mutex;
char fill[8] = "No Link";

std::string name_of(long tag) {
  std::lock_guard lock(names_mutex);
  return names.at(static_cast<size_t>(tag));
}

void deliver(long *tag, void *data, int *size) {
  const std::string name = name_of(*tag);
  int bytes = (size != nullptr && data != nullptr) ? *size : 0;
  if (bytes == 8 && std::memcmp(data, fill, 8) == 0) {
    std::printf("NOLINK %s\n", name.c_str());
    return;
  }
  std::string line = "UPDATE " + name + " " + std::to_string(bytes);
  const unsigned char *p = static_cast<const unsigned char *>(data);
  char word[16];
  for (int i = 0; i + 4 <= bytes; i += 4) {
    uint32_t w;
    std::memcpy(&w, p + i, 4);
    std::snprintf(word, sizeof word, " %08X", w);
    line += word;
  }
  std::printf("%s\n", line.c_str());
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("READY\n");
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string verb, name;
    in >> verb >> name;
    if (verb == "quit") break;
    if (verb == "sub") {
      long tag = 0;
      {
        std::lock_guard lock(names_mutex);
        names.push_back(name);
        tag = static_cast<long>(names.size() - 1);
      }
      dic_info_service_(name.c_str(), MONITORED, 0, nullptr, 0, deliver, tag, fill, sizeof fill);
      continue;
    }
    if (verb != "cmd" && verb != "raw") continue;
    size_t bytes = 0;
    if (verb == "raw") in >> bytes;
    std::vector<uint32_t> words;
    std::string w;
    while (in >> w) words.push_back(static_cast<uint32_t>(std::strtoul(w.c_str(), nullptr, 16)));
    if (verb == "cmd") bytes = words.size() * 4;
    std::vector<unsigned char> data(bytes, 0);
    size_t given = std::min(bytes, words.size() * 4);
    if (given > 0) std::memcpy(data.data(), words.data(), given);
    dic_cmnd_service_(name.c_str(), data.data(), static_cast<int>(bytes));
    std::printf("SENT %s %zu\n", name.c_str(), bytes);
  }
  std::fflush(stdout);
  std::_Exit(0);
}
