#include "platform/dim/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

namespace dim::wire {
namespace {

// Feeds `stream` to a reader in chunks of `chunk` bytes; returns the frames or the fault.
std::optional<std::string> feed(FrameReader &r, const Bytes &stream, std::size_t chunk,
                                std::vector<Frame> &out) {
  std::size_t pos = 0;
  while (pos < stream.size()) {
    auto buf = r.buffer();
    const std::size_t n = std::min({chunk, buf.size(), stream.size() - pos});
    std::memcpy(buf.data(), stream.data() + pos, n);
    pos += n;
    if (auto fault = r.commit(n, out)) return fault;
  }
  return std::nullopt;
}

Bytes with_payload(Bytes head, const Bytes &payload) {
  head.insert(head.end(), payload.begin(), payload.end());
  return head;
}

TEST(DimFrameReader, SplitsFramesAtAnyChunkBoundary) {
  Bytes stream;
  for (uint32_t i = 0; i < 50; ++i) {
    Bytes f = encode(SubscribeMsg{i, "/S/" + std::to_string(i)});
    stream.insert(stream.end(), f.begin(), f.end());
  }
  for (std::size_t chunk : {1u, 3u, 7u, 64u, 100000u}) {
    FrameReader r;
    std::vector<Frame> frames;
    ASSERT_FALSE(feed(r, stream, chunk, frames)) << "chunk " << chunk;
    ASSERT_EQ(frames.size(), 50u) << "chunk " << chunk;
    for (uint32_t i = 0; i < 50; ++i) {
      auto m = decode_subscribe(frames[i]);
      ASSERT_TRUE(m);
      EXPECT_EQ(m->sub, i);
      EXPECT_EQ(m->name, "/S/" + std::to_string(i));
    }
  }
}

TEST(DimFrameReader, LargeCommandArrivesWholeThroughItsOwnBuffer) {
  Bytes payload(3 * 1024 * 1024 + 5);
  std::iota(payload.begin(), payload.end(), uint8_t{0});
  Bytes stream = with_payload(command_head("/BIG/CMD", payload.size()), payload);
  Bytes tail = encode_unsubscribe(9);
  stream.insert(stream.end(), tail.begin(), tail.end());
  FrameReader r;
  std::vector<Frame> frames;
  ASSERT_FALSE(feed(r, stream, 1 << 20, frames));
  ASSERT_EQ(frames.size(), 2u);
  auto cmd = decode_command(frames[0]);
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->name, "/BIG/CMD");
  ASSERT_EQ(cmd->size, payload.size());
  EXPECT_EQ(std::memcmp(cmd->data, payload.data(), payload.size()), 0);
  EXPECT_EQ(decode_sub_id(frames[1]), 9u);
}

// A peer that announces a huge frame and sends little must not make the reader hold the
// announced size; the buffer follows what arrives, in a few steps, and the frame ends whole.
TEST(DimFrameReader, LargeFrameHoldsOnlyAboutWhatHasArrived) {
  FrameReader huge;
  std::vector<Frame> frames;
  Bytes head = command_head("/BIG/CMD", kMaxPayload);
  head.push_back(1);
  head.push_back(2);
  ASSERT_FALSE(feed(huge, head, head.size(), frames));
  EXPECT_TRUE(frames.empty());
  EXPECT_EQ(huge.partial_bytes(), head.size() - kLengthSize);
  EXPECT_LE(huge.partial_capacity(), FrameReader::kFirstBigRoom);

  Bytes payload(4 * 1024 * 1024 + 3);
  std::iota(payload.begin(), payload.end(), uint8_t{7});
  const Bytes stream = with_payload(command_head("/BIG/CMD", payload.size()), payload);
  FrameReader r;
  std::size_t pos = 0;
  std::size_t buffers = 0;
  const uint8_t *last_end = nullptr;
  while (pos < stream.size() && frames.empty()) {
    auto buf = r.buffer();
    if (buf.data() + buf.size() != last_end) ++buffers;
    last_end = buf.data() + buf.size();
    const std::size_t n = std::min({std::size_t{8192}, buf.size(), stream.size() - pos});
    std::memcpy(buf.data(), stream.data() + pos, n);
    pos += n;
    ASSERT_FALSE(r.commit(n, frames));
    if (frames.empty() &&
        r.partial_capacity() > std::max(2 * r.partial_bytes(), FrameReader::kFirstBigRoom))
      FAIL() << "holds " << r.partial_capacity() << " bytes after " << r.partial_bytes();
  }
  EXPECT_LE(buffers, 5u);  // scratch, then 1, 2 and 4 MiB and the last bytes: no copy per read
  ASSERT_EQ(frames.size(), 1u);
  auto cmd = decode_command(frames[0]);
  ASSERT_TRUE(cmd);
  ASSERT_EQ(cmd->size, payload.size());
  EXPECT_EQ(std::memcmp(cmd->data, payload.data(), payload.size()), 0);
}

// A name over the limit is cut, never written past the head's room, and the frame decodes.
TEST(DimFrameReader, CommandHeadCutsANameOverTheLimit) {
  const std::string name(kMaxName + 9, 'n');
  const Bytes payload = {1, 2, 3};
  FrameReader r;
  std::vector<Frame> frames;
  ASSERT_FALSE(feed(r, with_payload(command_head(name, payload.size()), payload), 64, frames));
  ASSERT_EQ(frames.size(), 1u);
  auto cmd = decode_command(frames[0]);
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->name, name.substr(0, kMaxName));
  EXPECT_EQ(cmd->size, payload.size());
}

TEST(DimFrameReader, RefusesOversizedLengthBeforeAllocating) {
  FrameReader r;
  std::vector<Frame> frames;
  auto fault = feed(r, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 20}, 5, frames);
  ASSERT_TRUE(fault);
  EXPECT_NE(fault->find("over the limit"), std::string::npos) << *fault;
  // One byte over the largest body is refused; the largest itself is accepted.
  const uint32_t over = static_cast<uint32_t>(kMaxFrameBody + 1);
  FrameReader r2;
  EXPECT_TRUE(feed(
      r2, Bytes{uint8_t(over), uint8_t(over >> 8), uint8_t(over >> 16), uint8_t(over >> 24), 20}, 5,
      frames));
  const uint32_t max = static_cast<uint32_t>(kMaxFrameBody);
  FrameReader r3;
  EXPECT_FALSE(
      feed(r3, Bytes{uint8_t(max), uint8_t(max >> 8), uint8_t(max >> 16), uint8_t(max >> 24), 20},
           5, frames));
}

TEST(DimFrameReader, RefusesEmptyFramesAndUnknownKinds) {
  std::vector<Frame> frames;
  FrameReader r;
  EXPECT_TRUE(feed(r, Bytes{0, 0, 0, 0, 1}, 5, frames));
  FrameReader r2;
  auto fault = feed(r2, Bytes{1, 0, 0, 0, 99}, 5, frames);
  ASSERT_TRUE(fault);
  EXPECT_NE(fault->find("unknown frame kind 99"), std::string::npos);
  EXPECT_TRUE(frames.empty());
}

TEST(DimDecode, RoundTripsEveryMessage) {
  auto frame_of = [](const Bytes &b) {
    FrameReader r;
    std::vector<Frame> out;
    EXPECT_FALSE(feed(r, b, b.size(), out));
    EXPECT_EQ(out.size(), 1u);
    return out.at(0);
  };
  RegisterMsg reg{"/Z/SERVER",
                  "127.0.0.1",
                  4000,
                  77,
                  {{EntryKind::kService, "/Z/SVC"}, {EntryKind::kCommand, "/Z/CMD"}}};
  auto r = decode_register(frame_of(encode(reg)));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->server, "/Z/SERVER");
  EXPECT_EQ(r->port, 4000u);
  ASSERT_EQ(r->entries.size(), 2u);
  EXPECT_EQ(r->entries[1].kind, EntryKind::kCommand);

  LookupReplyMsg lr{5, true, EntryKind::kCommand, "/Z/SERVER", "10.0.0.1", 1234};
  auto l = decode_lookup_reply(frame_of(encode(lr)));
  ASSERT_TRUE(l);
  EXPECT_EQ(l->host, "10.0.0.1");
  EXPECT_EQ(l->kind, EntryKind::kCommand);

  ListReplyMsg list{3, false, {ServerInfo{"/A", "h", 1, 2, {{EntryKind::kService, "/A/S"}}}}};
  auto ls = decode_list_reply(frame_of(encode(list)));
  ASSERT_TRUE(ls);
  ASSERT_EQ(ls->servers.size(), 1u);
  EXPECT_EQ(ls->servers[0].entries[0].name, "/A/S");

  Bytes data{1, 2, 3};
  const Frame df = frame_of(with_payload(data_head(17, 3), data));
  auto d = decode_data(df);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->sub, 17u);
  ASSERT_EQ(d->size, 3u);
  EXPECT_EQ(d->data[2], 3);
}

TEST(DimDecode, ReclaimRetryAnswerAndListPagesRoundTripAndOldFormsStillDecode) {
  auto frame_of = [](const Bytes &b) {
    FrameReader r;
    std::vector<Frame> out;
    EXPECT_FALSE(feed(r, b, b.size(), out));
    return out.at(0);
  };
  RegisterMsg reg{"/Z/SERVER", "127.0.0.1", 4000, 77, {}, true};
  const Frame rf = frame_of(encode(reg));
  EXPECT_EQ(rf.kind(), Kind::kReclaim);
  auto r = decode_register(rf);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->reclaim);
  reg.reclaim = false;
  r = decode_register(frame_of(encode(reg)));
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->reclaim);

  auto later = decode_register_reply(frame_of(encode(RegisterReplyMsg{false, "wait", true})));
  ASSERT_TRUE(later);
  EXPECT_FALSE(later->ok);
  EXPECT_TRUE(later->retry);
  Bytes bad = encode(RegisterReplyMsg{true, ""});
  bad[5] = 3;  // no such answer
  EXPECT_FALSE(decode_register_reply(frame_of(bad)));

  auto first = decode_list(frame_of(encode_list(9)));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->request, 9u);
  EXPECT_EQ(first->after, "");
  auto next = decode_list(frame_of(encode_list(10, "/M/SERVER")));
  ASSERT_TRUE(next);
  EXPECT_EQ(next->after, "/M/SERVER");

  auto accepted = decode_entry_accepted(frame_of(encode_entry_accepted("/Z/SVC")));
  ASSERT_TRUE(accepted);
  EXPECT_EQ(*accepted, "/Z/SVC");
}

TEST(DimDecode, RejectsTruncatedAndTrailingFields) {
  Bytes good = encode(LookupMsg{1, "/X"});
  for (std::size_t cut = 1; cut < good.size() - 4; ++cut) {
    Bytes b(good.begin(), good.end() - static_cast<long>(cut));
    const uint32_t len = static_cast<uint32_t>(b.size() - 4);
    std::memcpy(b.data(), &len, 4);
    FrameReader r;
    std::vector<Frame> out;
    ASSERT_FALSE(feed(r, b, b.size(), out));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_FALSE(decode_lookup(out[0])) << "cut " << cut;
  }
  Bytes extra = good;
  extra.push_back(0);
  extra[0]++;
  FrameReader r;
  std::vector<Frame> out;
  ASSERT_FALSE(feed(r, extra, extra.size(), out));
  EXPECT_FALSE(decode_lookup(out.at(0)));
  // A command needs a name; a frame of another kind is not a command.
  EXPECT_FALSE(decode_command(out.at(0)));
}

TEST(DimDecode, EntryCountLargerThanTheFrameFailsCleanly) {
  Bytes b = encode(RegisterMsg{"/S", "h", 1, 1, {}});
  // Patch the entry count (last four bytes) to four billion.
  for (int i = 1; i <= 4; ++i) b[b.size() - i] = 0xEE;
  FrameReader r;
  std::vector<Frame> out;
  ASSERT_FALSE(feed(r, b, b.size(), out));
  EXPECT_FALSE(decode_register(out.at(0)));
}

}  // namespace
}  // namespace dim::wire
