// The gateway's JSON API, event stream and /metrics against a real name server, ZOL_server
// and simulated board.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tools/src/zol_web/tests/web_world.h"

namespace zoltest {
namespace {

using nlohmann::json;

// A plain read/write register of the simulated board (the bridge's test register).
constexpr uint32_t kReg = 0x38;

std::string q(const std::string &board) {
  std::string out;
  for (char c : board) out += c == '/' ? std::string("%2F") : std::string(1, c);
  return out;
}

TEST(ZolWebApi, BoardsPageListsTheServerAndItsServices) {
  WebWorld w("web_boards");
  ASSERT_TRUE(w.board_listed()) << w.get("/api/boards").body;
  const json boards = w.get("/api/boards").json();
  const json &b = boards["boards"][0];
  EXPECT_EQ(b["name"], "KeshV2_00");
  EXPECT_EQ(b["pid"], w.server->pid());
  bool has_cmd = false;
  for (const auto &s : b["services"]) has_cmd = has_cmd || s == w.board + "/CMD/ReadWriteRegisters";
  EXPECT_TRUE(has_cmd) << b.dump();

  const json info = w.get("/api/board?board=" + q(w.board)).json();
  EXPECT_EQ(info["identity"]["type"], "Kesh");
  EXPECT_EQ(info["identity"]["revision"], "V2");
  EXPECT_EQ(info["identity"]["serial"], "_00");
  EXPECT_EQ(w.get("/api/board?board=%2FZOL%2FVrelV1_03").status, 404);

  // The pages themselves.
  const Reply page = w.get("/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("Boards"), std::string::npos);
  EXPECT_EQ(w.get("/board.html").status, 200);
  EXPECT_EQ(w.get("/js/dygraphs/dygraph.min.js").status, 200);
}

TEST(ZolWebApi, WritesUnderAMaskAndReadsBack) {
  WebWorld w("web_rw");
  ASSERT_TRUE(w.board_listed());
  w.world.poke(kReg, 0xAABBCCDD);
  Reply r =
      w.post_json("/api/write",
                  {{"board", w.board}, {"addr", "0x38"}, {"value", "1234"}, {"mask", "0000FF00"}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.json()["value"], 0xAABB12DDu);
  EXPECT_EQ(w.world.peek(kReg), 0xAABB12DDu);

  w.world.poke(kReg, 0x01020304);
  r = w.post_json("/api/read", {{"board", w.board}, {"addrs", {kReg, "0x3C"}}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.json()["values"][0]["addr"], kReg);
  EXPECT_EQ(r.json()["values"][0]["value"], 0x01020304u);
  EXPECT_EQ(r.json()["values"].size(), 2u);
}

TEST(ZolWebApi, ReadsAndWritesI2cBytes) {
  WebWorld w("web_i2c");
  ASSERT_TRUE(w.board_listed());
  // Bytes 0 to 3 of the identity EEPROM: the default board's identity word.
  w.world.boardsim({"set-id", "0x20020000"});
  Reply r = w.post_json("/api/read",
                        {{"board", w.board}, {"method", "i2c"}, {"addrs", {"A002", "A003"}}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.json()["values"][0]["value"].get<uint32_t>() & 0xFF, 0x02u);
  EXPECT_EQ(r.json()["values"][1]["value"].get<uint32_t>() & 0xFF, 0x20u);

  r = w.post_json("/api/write",
                  {{"board", w.board}, {"method", "i2c"}, {"addr", "0x4001"}, {"value", 0x5A}});
  ASSERT_EQ(r.status, 200) << r.body;
  r = w.post_json("/api/read", {{"board", w.board}, {"method", "i2c"}, {"addrs", {"0x4001"}}});
  EXPECT_EQ(r.json()["values"][0]["value"].get<uint32_t>() & 0xFF, 0x5Au);
  EXPECT_EQ(
      w.post_json("/api/write",
                  {{"board", w.board}, {"method", "i2c"}, {"addr", "0x4001"}, {"value", 0x100}})
          .status,
      400);
}

TEST(ZolWebApi, WatchedRegisterReachesHistoryStreamAndMetrics) {
  WebWorld w("web_watch");
  ASSERT_TRUE(w.board_listed());
  w.world.poke(kReg, 0x11);

  // An open page: its event stream, read on a thread of its own.
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::string stream;
  httplib::Client sse("127.0.0.1", w.port);
  sse.set_read_timeout(20, 0);
  std::thread reader([&] {
    sse.Get(("/api/events?board=" + q(w.board)).c_str(), [&](const char *data, size_t n) {
      std::lock_guard lock(mutex);
      stream.append(data, n);
      return !stop.load();
    });
  });
  auto stream_has = [&](const std::string &text) {
    return wait_for(
        [&] {
          std::lock_guard lock(mutex);
          return stream.find(text) != std::string::npos;
        },
        10s);
  };
  EXPECT_TRUE(stream_has(": open"));

  Reply r = w.post_json("/api/watch", {{"board", w.board}, {"addr", "0x38"}, {"interval", 1}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.json()["registers"][0]["addr"], kReg);
  EXPECT_TRUE(stream_has("event: watched"));
  // Samples of the register: [addr, time, value].
  EXPECT_TRUE(stream_has("[56,")) << stream;
  w.world.poke(kReg, 0x2222);
  EXPECT_TRUE(stream_has(",8738]")) << stream;

  const json h = w.get("/api/history?board=" + q(w.board) + "&addr=38").json();
  const json &points = h["series"]["0x38"]["points"];
  ASSERT_GE(points.size(), 2u) << h.dump();
  EXPECT_EQ(points.back()[1], 0x2222u);
  EXPECT_LE(points.front()[0].get<int64_t>(), points.back()[0].get<int64_t>());

  const Reply csv = w.get("/api/history.csv?board=" + q(w.board));
  EXPECT_EQ(csv.content_type, "text/csv");
  EXPECT_EQ(csv.body.rfind("time_ms,time,addr,value\n", 0), 0u);
  EXPECT_NE(csv.body.find(",0x38,8738\n"), std::string::npos) << csv.body;

  const Reply m = w.get("/metrics");
  EXPECT_NE(m.body.find("zol_register_value{board=\"/ZOL/KeshV2_00\",addr=\"0x38\"} 8738\n"),
            std::string::npos)
      << m.body;
  EXPECT_NE(m.body.find("zol_board_up{board=\"/ZOL/KeshV2_00\"} 1\n"), std::string::npos);
  EXPECT_NE(m.body.find("zol_web_event_streams 1\n"), std::string::npos);

  // A second page watching the same register adds no subscription and no second entry.
  r = w.post_json("/api/watch", {{"board", w.board}, {"addr", 0x38}, {"interval", 1}});
  EXPECT_EQ(r.json()["registers"].size(), 1u);
  // Unwatched: no longer kept or exported.
  r = w.post_json("/api/watch", {{"board", w.board}, {"addr", 0x38}, {"on", false}});
  EXPECT_TRUE(r.json()["registers"].empty());
  EXPECT_EQ(w.get("/metrics").body.find("zol_register_value{"), std::string::npos);

  stop = true;
  w.world.poke(kReg, 0x3333);
  w.post_json("/api/watch", {{"board", w.board}, {"addr", 0x3C}, {"interval", 1}});
  reader.join();
}

// Waits for the end of the load under way; its status.
json load_end(WebWorld &w) {
  json status;
  EXPECT_TRUE(wait_for(
      [&] {
        status = w.get("/api/fpga/status?board=" + q(w.board)).json();
        return status["state"] != "running";
      },
      60s));
  return status;
}

TEST(ZolWebApi, LoadsAGoodFileReportsABadLoadAndRefusesADamagedFile) {
  WebWorld w("web_fpga");
  ASSERT_TRUE(w.board_listed());
  const std::string good = file_text(FPGA_CONFIGURE_GOOD_JBC);
  std::string damaged = good;
  damaged[damaged.size() / 2] ^= 0x10;

  Reply r = w.post("/api/fpga/inspect", good, "application/octet-stream");
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_TRUE(r.json()["usable"].get<bool>());
  EXPECT_EQ(r.json()["actions"][0]["name"], "configure");

  // The damaged file is refused by the gateway: nothing reaches the board's JTAG port.
  w.world.boardsim({"trace", "on"});
  r = w.post("/api/fpga/load?board=" + q(w.board), damaged, "application/octet-stream");
  EXPECT_EQ(r.status, 422) << r.body;
  EXPECT_EQ(r.json()["state"], "refused");
  EXPECT_EQ(r.json()["error"].get<std::string>().rfind("CRC mismatch", 0), 0u);
  EXPECT_EQ(w.get("/api/fpga/status?board=" + q(w.board)).json()["state"], "refused");
  for (const auto &line : w.world.trace())
    EXPECT_EQ(line.find(" 0x0004 "), std::string::npos) << line;
  w.world.boardsim({"trace", "off"});
  // An action the file lacks is refused the same way.
  r = w.post("/api/fpga/load?board=" + q(w.board) + "&action=erase", good,
             "application/octet-stream");
  EXPECT_EQ(r.status, 422) << r.body;

  r = w.post("/api/fpga/load?board=" + q(w.board) + "&action=configure&file=good.jbc", good,
             "application/octet-stream");
  ASSERT_EQ(r.status, 202) << r.body;
  const json started = r.json();
  json status = load_end(w);
  EXPECT_EQ(status["state"], "loaded") << status.dump();
  // The answer to the request and the end of the load are told apart by their revision, so a
  // page that hears of them in the wrong order keeps the end.
  EXPECT_EQ(status["started_ms"], started["started_ms"]);
  EXPECT_GT(status["revision"].get<uint64_t>(), started["revision"].get<uint64_t>());
  EXPECT_EQ(status["file"], "good.jbc");
  EXPECT_EQ(status["result"]["exit_code"], 0);
  EXPECT_EQ(w.world.boardsim({"fpga"}).rfind("FPGA 0 CONFIGURED yes", 0), 0u);
  EXPECT_NE(w.get("/metrics").body.find("zol_fpga_load_state{board=\"/ZOL/KeshV2_00\"} 2\n"),
            std::string::npos);

  // A file whose own CRC holds but whose data is wrong: the device refuses it, the page is
  // told it failed.
  r = w.post("/api/fpga/load?board=" + q(w.board), file_text(FPGA_CONFIGURE_CORRUPT_JBC),
             "application/octet-stream");
  ASSERT_EQ(r.status, 202) << r.body;
  const uint64_t loaded_revision = status["revision"];
  status = load_end(w);
  EXPECT_EQ(status["state"], "failed") << status.dump();
  EXPECT_GT(r.json()["revision"].get<uint64_t>(), loaded_revision);
  EXPECT_NE(status["result"]["exit_code"], 0);
  EXPECT_EQ(w.world.boardsim({"fpga"}).rfind("FPGA 0 CONFIGURED no", 0), 0u);
  EXPECT_NE(w.get("/metrics").body.find("zol_fpga_load_state{board=\"/ZOL/KeshV2_00\"} 3\n"),
            std::string::npos);
}

TEST(ZolWebApi, ReadOnlyGatewayRefusesWritesAndLoads) {
  WebWorld w("web_ro", {"--read-only"});
  ASSERT_TRUE(w.board_listed());
  w.world.poke(kReg, 0x77);
  EXPECT_EQ(w.post_json("/api/write", {{"board", w.board}, {"addr", kReg}, {"value", 1}}).status,
            403);
  EXPECT_EQ(w.world.peek(kReg), 0x77u);
  EXPECT_EQ(w.post("/api/fpga/load?board=" + q(w.board), file_text(FPGA_CONFIGURE_GOOD_JBC),
                   "application/octet-stream")
                .status,
            403);
  EXPECT_EQ(w.world.boardsim({"fpga"}).rfind("FPGA 0 CONFIGURED no", 0), 0u);
  // Reading still works.
  const Reply r = w.post_json("/api/read", {{"board", w.board}, {"addrs", {kReg}}});
  EXPECT_EQ(r.json()["values"][0]["value"], 0x77u);
}

TEST(ZolWebApi, RequestsAreCapped) {
  WebWorld w("web_caps", {"--max-upload", "1", "--max-streams", "1"});
  ASSERT_TRUE(w.board_listed());
  // A JSON request over 64 KiB, a file over 1 MiB.
  json big = {{"board", w.board}, {"addrs", {kReg}}, {"pad", std::string(70 * 1024, 'x')}};
  EXPECT_EQ(w.post_json("/api/read", big).status, 413);
  EXPECT_EQ(
      w.post("/api/fpga/inspect", std::string(2 * 1024 * 1024, 'J'), "application/octet-stream")
          .status,
      413);
  // More than the server's table of addresses in one read.
  json many = json::array();
  for (int i = 0; i < 101; ++i) many.push_back(i * 4);
  EXPECT_EQ(w.post_json("/api/read", {{"board", w.board}, {"addrs", many}}).status, 413);
  // A form post (what another site's page could send without asking) is not taken.
  EXPECT_EQ(w.post("/api/write", json{{"board", w.board}, {"addr", kReg}, {"value", 1}}.dump(),
                   "text/plain")
                .status,
            415);
  EXPECT_EQ(w.post_json("/api/read", {{"board", w.board}, {"addrs", {"0x1G"}}}).status, 400);

  // One stream allowed: the second page is told to wait.
  std::atomic<bool> stop{false};
  httplib::Client first("127.0.0.1", w.port);
  std::atomic<bool> opened{false};
  std::thread reader([&] {
    first.Get(("/api/events?board=" + q(w.board)).c_str(), [&](const char *, size_t) {
      opened = true;
      return !stop.load();
    });
  });
  EXPECT_TRUE(wait_for([&] { return opened.load(); }, 10s));
  EXPECT_EQ(w.get("/api/events?board=" + q(w.board)).status, 503);
  stop = true;
  // Any event of the board ends the reader.
  w.post_json("/api/watch", {{"board", w.board}, {"addr", kReg}, {"interval", 1}});
  reader.join();
}

}  // namespace
}  // namespace zoltest
