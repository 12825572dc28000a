// The gateway's own parts without any network: the bounded history, the event fan-out, the
// checks an uploaded file gets, and the board identity read back from a name.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "tools/src/zol_web/board_identity.h"
#include "tools/src/zol_web/event_hub.h"
#include "tools/src/zol_web/fpga_file.h"
#include "tools/src/zol_web/history.h"

namespace zolweb {
namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> file_bytes(const char *path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ZolWebHistory, KeepsAtMostItsPointsAndDropsOldSamples) {
  History h(5, 10'000);
  for (int i = 0; i < 12; ++i) h.add({1000 + i, static_cast<uint32_t>(i)});
  ASSERT_EQ(h.size(), 5u);
  auto all = h.since(0, 1020);
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all.front().value, 7u);
  EXPECT_EQ(all.back().value, 11u);

  // Only samples after `since`; and the age limit applies at the time of asking.
  EXPECT_EQ(h.since(1009, 1020).size(), 2u);
  EXPECT_EQ(h.since(0, 1009 + 10'000).size(), 3u);
  EXPECT_EQ(h.size(), 3u);
  EXPECT_TRUE(h.since(0, 50'000).empty());
  EXPECT_EQ(h.last(), nullptr);
}

TEST(ZolWebHistory, IgnoresASampleOlderThanTheNewest) {
  History h(10, 60'000);
  h.add({2000, 1});
  h.add({1500, 2});
  h.add({2000, 3});
  auto all = h.since(0, 2000);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].value, 3u);
}

TEST(ZolWebEvents, EachListenerGetsItsTopicsRecordsInOrder) {
  EventHub hub(4, 16);
  auto a = hub.join("/ZOL/KeshV2_00");
  auto b = hub.join("/ZOL/KeshV2_01");
  auto all = hub.join("");
  ASSERT_TRUE(a && b && all);
  hub.publish("/ZOL/KeshV2_00", "one");
  hub.publish("/ZOL/KeshV2_01", "two");
  hub.publish("/ZOL/KeshV2_00", "three");
  EXPECT_EQ(a->next(0ms), "one");
  EXPECT_EQ(a->next(0ms), "three");
  EXPECT_EQ(a->next(0ms), "");  // nothing more: an empty record, the stream goes on
  EXPECT_EQ(b->next(0ms), "two");
  EXPECT_EQ(all->next(0ms), "one");
  EXPECT_EQ(all->next(0ms), "two");
  EXPECT_EQ(all->next(0ms), "three");
}

TEST(ZolWebEvents, ASlowListenerLosesItsStreamInsteadOfGrowingAQueue) {
  EventHub hub(4, 3);
  auto slow = hub.join("b");
  auto quick = hub.join("b");
  for (int i = 0; i < 3; ++i) {
    hub.publish("b", std::to_string(i));
    EXPECT_EQ(quick->next(0ms), std::to_string(i));
  }
  hub.publish("b", "3");
  EXPECT_EQ(slow->next(0ms), std::nullopt);
  EXPECT_EQ(quick->next(0ms), "3");
}

TEST(ZolWebEvents, ListenersAreCappedLeaveWhenDroppedAndEndAtClose) {
  EventHub hub(2, 8);
  auto a = hub.join("x");
  auto b = hub.join("x");
  EXPECT_EQ(hub.join("x"), nullptr);
  b.reset();
  EXPECT_EQ(hub.listeners(), 1u);
  auto c = hub.join("x");
  ASSERT_NE(c, nullptr);

  // A listener waiting for its next record is woken by the close.
  std::optional<std::optional<std::string>> got;
  std::thread waiter([&] { got = a->next(10s); });
  std::this_thread::sleep_for(50ms);
  hub.close();
  waiter.join();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, std::nullopt);
  EXPECT_EQ(hub.join("x"), nullptr);
}

TEST(ZolWebEvents, RecordIsAnEventStreamRecord) {
  EXPECT_EQ(sse_record("samples", "[[16,1,2]]"), "event: samples\ndata: [[16,1,2]]\n\n");
}

TEST(ZolWebFile, AGoodFileShowsItsNotesAndActions) {
  const auto image = file_bytes(FPGA_CONFIGURE_GOOD_JBC);
  const FileReport r = inspect_file(image);
  EXPECT_EQ(r.refusal, "");
  EXPECT_EQ(r.format, 2);
  EXPECT_TRUE(r.crc_ok);
  EXPECT_EQ(r.size, image.size());
  EXPECT_FALSE(r.notes.empty());
  ASSERT_FALSE(r.actions.empty());
  bool configure = false;
  for (const FileAction &a : r.actions) configure = configure || a.name == "configure";
  EXPECT_TRUE(configure);
  EXPECT_EQ(action_refusal(r, "configure"), "");
  EXPECT_EQ(action_refusal(r, "erase"), "the file has no action \"erase\"");
  const auto j = to_json(r);
  EXPECT_TRUE(j["usable"].get<bool>());
  EXPECT_EQ(j["format_name"], "Jam STAPL");
}

TEST(ZolWebFile, ADamagedFileIsRefusedForItsCrc) {
  auto image = file_bytes(FPGA_CONFIGURE_GOOD_JBC);
  ASSERT_GT(image.size(), 1000u);
  image[image.size() / 2] ^= 0x10;
  const FileReport r = inspect_file(image);
  EXPECT_EQ(r.format, 2);
  EXPECT_TRUE(r.crc_checked);
  EXPECT_FALSE(r.crc_ok);
  EXPECT_NE(r.crc_stored, r.crc_computed);
  EXPECT_EQ(r.refusal.rfind("CRC mismatch", 0), 0u) << r.refusal;
  EXPECT_NE(action_refusal(r, "configure"), "");
  EXPECT_FALSE(to_json(r)["usable"].get<bool>());
}

TEST(ZolWebFile, AFileWithoutTheActionIsRefusedForIt) {
  const FileReport r = inspect_file(file_bytes(FPGA_CONFIGURE_NO_ACTION_JBC));
  EXPECT_EQ(r.refusal, "");
  EXPECT_EQ(action_refusal(r, "configure"), "the file has no action \"configure\"");
}

TEST(ZolWebFile, BytesThatAreNoByteCodeFileAreRefused) {
  std::vector<uint8_t> junk(4096, 0x5A);
  EXPECT_EQ(inspect_file(junk).refusal, "not a byte-code file");
  EXPECT_EQ(inspect_file({}).refusal, "not a byte-code file");
  // A good file cut short.
  auto image = file_bytes(FPGA_CONFIGURE_GOOD_JBC);
  image.resize(image.size() / 2);
  EXPECT_NE(inspect_file(image).refusal, "");
}

TEST(ZolWebIdentity, NamesAreReadBackWithTheServersTables) {
  BoardIdentity id = identity_of("KeshV2_05");
  EXPECT_EQ(id.prefix, "/ZOL/KeshV2_05");
  EXPECT_EQ(id.system, "ZOL");
  EXPECT_EQ(id.type, "Kesh");
  EXPECT_EQ(id.revision, "V2");
  EXPECT_EQ(id.serial, "_05");
  EXPECT_TRUE(id.known);

  id = identity_of("/BEX/PavokP2_25");
  EXPECT_EQ(id.system, "BEX");
  EXPECT_EQ(id.type, "Pavok");
  EXPECT_EQ(id.revision, "P2");
  EXPECT_EQ(id.serial, "_25");
  EXPECT_TRUE(id.known);

  // A board whose fields lie beyond the tables is named with numbers: not known, kept whole.
  id = identity_of("/ZOL/Type7Rev5_26");
  EXPECT_FALSE(id.known);
  EXPECT_EQ(id.prefix, "/ZOL/Type7Rev5_26");
}

}  // namespace
}  // namespace zolweb
