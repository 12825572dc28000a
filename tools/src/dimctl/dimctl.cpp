// dimctl: look at and poke the messaging system and the boards' register servers by hand.
#include "tools/src/dimctl/dimctl.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/version.h"

namespace {

using namespace dimctl;

const char kFooter[] =
    "Deliveries are printed one per line. get and follow show the records of UpdateRegisters,\n"
    "UpdateSubscribedRegisters, FPGALoadStatus, FPGALoadProgress and FPGALoadReport by field\n"
    "name; --raw prints 32-bit words in hexadecimal (bytes after the last whole word follow\n"
    "\"tail\"); --json prints one JSON object per delivery. A word or address is hexadecimal\n"
    "with 0x, else decimal. BOARD is a board name such as KeshV2_00. The name server is\n"
    "DIM_DNS_NODE, DIM_DNS_PORT (default 2505).\n"
    "Exit status: 0 done; 1 usage error; 2 no link (name server or server not reachable,\n"
    "name unknown, list incomplete, command not delivered); 3 no answer in time.";

// CLI11 checks the word; the value itself is taken by parse_word afterwards.
struct WordValidator : CLI::Validator {
  WordValidator() : CLI::Validator("WORD") {
    func_ = [](const std::string &text) {
      uint32_t w = 0;
      return parse_word(text, w) ? std::string() : "'" + text + "' is not a 32-bit number";
    };
  }
};

uint32_t word(const std::string &text) {
  uint32_t w = 0;
  parse_word(text, w);
  return w;
}

Format chosen(bool raw, bool json, bool csv = false) {
  if (json) return Format::kJson;
  if (csv) return Format::kCsv;
  return raw ? Format::kRaw : Format::kText;
}

int run(int argc, char **argv) {
  CLI::App app{"dimctl: look at and poke the messaging system and the boards' register servers",
               "dimctl"};
  app.footer(kFooter);
  app.require_subcommand(1);
  bool version = false;
  app.add_flag("--version", version, "the program's version");
  const WordValidator is_word;

  app.add_subcommand("list", "servers known to the name server, with their services and commands");

  std::string service;
  bool raw = false, json = false, csv = false;
  long count = -1;
  auto *get = app.add_subcommand("get", "print the service's current contents once");
  get->add_option("SERVICE", service, "full service name")->required();
  get->add_flag("--raw", raw, "32-bit words as sent");
  get->add_flag("--json", json, "one JSON object per delivery")->excludes("--raw");

  auto *follow = app.add_subcommand("follow", "print every delivery of a service");
  follow->add_option("SERVICE", service, "full service name")->required();
  follow->add_option("-n", count, "stop after COUNT deliveries")
      ->check(CLI::PositiveNumber)
      ->option_text("COUNT");
  follow->add_flag("--raw", raw, "32-bit words as sent");
  follow->add_flag("--json", json, "one JSON object per delivery")->excludes("--raw");

  auto *cmd = app.add_subcommand("cmd", "send the words as 32-bit little-endian integers");
  cmd->prefix_command();  // words may be negative numbers, which must not read as options

  std::string board;
  std::vector<std::string> addr_words;
  int interval = 1;
  auto *watch_cmd = app.add_subcommand(
      "watch", "one line per published register value, with time stamp; until -n or Ctrl-C");
  watch_cmd->add_option("BOARD", board, "board name")->required();
  watch_cmd->add_option("ADDR", addr_words, "register addresses")->required()->check(is_word);
  watch_cmd->add_option("-i", interval, "seconds between the server's reads (default 1)")
      ->check(CLI::Range(1, 86400))
      ->option_text("SECONDS");
  watch_cmd->add_option("-n", count, "stop after COUNT lines")
      ->check(CLI::PositiveNumber)
      ->option_text("COUNT");
  auto *watch_json = watch_cmd->add_flag("--json", json, "one JSON object per line");
  watch_cmd->add_flag("--csv", csv, "comma-separated values after a header line")
      ->excludes(watch_json);

  std::string range;
  auto *read = app.add_subcommand(
      "read",
      "read one register or every fourth address of ADDR..ADDR2 (at most 100) in one "
      "command");
  read->add_option("BOARD", board, "board name")->required();
  read->add_option("ADDR", range, "ADDR or ADDR..ADDR2")->required();
  read->add_flag("--json", json, "one JSON object per register");

  std::string value_word, mask_word = "0xFFFFFFFF";
  std::string addr_word;
  auto *write = app.add_subcommand("write", "write VALUE under MASK, print the value read back");
  write->add_option("BOARD", board, "board name")->required();
  write->add_option("ADDR", addr_word, "register address")->required()->check(is_word);
  write->add_option("VALUE", value_word, "value")->required()->check(is_word);
  write->add_option("MASK", mask_word, "bits written (default all)")->check(is_word);
  write->add_flag("--json", json, "a JSON object");

  // --version alone needs no subcommand.
  if (argc == 2 && std::string(argv[1]) == "--version") {
    print_version("dimctl");
    return kExitOk;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    std::fprintf(stderr, "dimctl: %s\n", e.what());
    std::fprintf(stderr, "Run 'dimctl --help' for the commands.\n");
    return kExitUsage;
  }

  if (app.got_subcommand("list")) return list();
  if (app.got_subcommand(get)) return show_service(service, 1, true, chosen(raw, json));
  if (app.got_subcommand(follow)) return show_service(service, count, false, chosen(raw, json));
  if (app.got_subcommand(cmd)) {
    std::vector<std::string> words = cmd->remaining();
    if (words.empty()) {
      std::fprintf(stderr, "dimctl: cmd takes a command name and words\n");
      return kExitUsage;
    }
    const std::string name = words.front();
    words.erase(words.begin());
    return send(name, words);
  }
  if (app.got_subcommand(watch_cmd)) {
    std::vector<uint32_t> addrs;
    for (const auto &a : addr_words) addrs.push_back(word(a));
    return watch(board, addrs, interval, count, chosen(false, json, csv));
  }
  if (app.got_subcommand(read)) {
    const auto dots = range.find("..");
    const std::string first = range.substr(0, dots);
    const std::string last = dots == std::string::npos ? first : range.substr(dots + 2);
    uint32_t a = 0, b = 0;
    if (!parse_word(first, a) || !parse_word(last, b)) {
      std::fprintf(stderr, "dimctl: read: '%s' is no address or ADDR..ADDR2 range\n",
                   range.c_str());
      return kExitUsage;
    }
    return read_registers(board, a, b, json);
  }
  if (app.got_subcommand(write))
    return write_register(board, word(addr_word), word(value_word), word(mask_word), json);
  return kExitUsage;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  return run(argc, argv);
}
