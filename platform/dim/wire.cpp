#include "platform/dim/wire.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

namespace dim::wire {

namespace {

void put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t load32(const uint8_t *p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Appends fields to a frame under construction; finish() fills in the length prefix.
class Builder {
 public:
  explicit Builder(Kind k) {
    // Room for the usual head (length, kind, a name, a few numbers) in one allocation.
    out_.reserve(kLengthSize + 1 + 2 + 64);
    out_.resize(kLengthSize);
    out_.push_back(static_cast<uint8_t>(k));
  }
  Builder &u8(uint8_t v) {
    out_.push_back(v);
    return *this;
  }
  Builder &u16(uint16_t v) {
    out_.push_back(static_cast<uint8_t>(v));
    out_.push_back(static_cast<uint8_t>(v >> 8));
    return *this;
  }
  Builder &u32(uint32_t v) {
    out_.resize(out_.size() + 4);
    put32(out_.data() + out_.size() - 4, v);
    return *this;
  }
  // Names longer than kMaxName are refused where they enter the library; cut here as a
  // last guard so a frame is always decodable.
  Builder &text(std::string_view s) {
    s = s.substr(0, kMaxName);
    u16(static_cast<uint16_t>(s.size()));
    out_.insert(out_.end(), s.begin(), s.end());
    return *this;
  }
  std::size_t size() const { return out_.size(); }
  // `extra` payload bytes follow the returned head on the wire.
  Bytes finish(std::size_t extra = 0) {
    put32(out_.data(), static_cast<uint32_t>(out_.size() - kLengthSize + extra));
    return std::move(out_);
  }

 private:
  Bytes out_;
};

// Reads fields of one frame; any read past the end marks the whole decode as failed.
class Fields {
 public:
  explicit Fields(std::span<const uint8_t> s) : s_(s) {}
  bool ok() const { return ok_; }
  bool done() const { return ok_ && pos_ == s_.size(); }
  std::size_t pos() const { return pos_; }
  std::size_t left() const { return ok_ ? s_.size() - pos_ : 0; }

  uint8_t u8() {
    if (!need(1)) return 0;
    return s_[pos_++];
  }
  uint16_t u16() {
    if (!need(2)) return 0;
    const uint16_t v = static_cast<uint16_t>(s_[pos_] | s_[pos_ + 1] << 8);
    pos_ += 2;
    return v;
  }
  uint32_t u32() {
    if (!need(4)) return 0;
    const uint32_t v = load32(&s_[pos_]);
    pos_ += 4;
    return v;
  }
  std::string text() { return std::string(text_view()); }
  // The text in place, valid while the frame lives.
  std::string_view text_view() {
    const uint16_t n = u16();
    if (n > kMaxName || !need(n)) {
      ok_ = false;
      return {};
    }
    std::string_view s(reinterpret_cast<const char *>(&s_[pos_]), n);
    pos_ += n;
    return s;
  }
  std::optional<EntryKind> entry_kind() {
    const uint8_t k = u8();
    if (k != 1 && k != 2) {
      ok_ = false;
      return std::nullopt;
    }
    return static_cast<EntryKind>(k);
  }
  bool flag() {
    const uint8_t v = u8();
    if (v > 1) ok_ = false;
    return v == 1;
  }

 private:
  bool need(std::size_t n) {
    if (!ok_ || s_.size() - pos_ < n) {
      ok_ = false;
      return false;
    }
    return true;
  }
  std::span<const uint8_t> s_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

bool is(const Frame &f, Kind k) { return f.size >= 1 && f.kind() == k; }

void put_entries(Builder &b, const std::vector<Entry> &entries) {
  b.u32(static_cast<uint32_t>(entries.size()));
  for (const auto &e : entries) b.u8(static_cast<uint8_t>(e.kind)).text(e.name);
}

// The count is not trusted for reserving memory: each entry must actually be present.
bool get_entries(Fields &in, std::vector<Entry> &out) {
  const uint32_t n = in.u32();
  for (uint32_t i = 0; i < n && in.ok(); ++i) {
    Entry e;
    auto k = in.entry_kind();
    e.name = in.text();
    if (!k || !in.ok()) return false;
    e.kind = *k;
    out.push_back(std::move(e));
  }
  return in.ok();
}

}  // namespace

bool known_kind(uint8_t k) { return (k >= 1 && k <= 10) || (k >= 16 && k <= 20); }

Payload Payload::copy_of(const void *data, std::size_t size) {
  Payload p;
  if (size == 0) return p;
  // Count and bytes in one allocation: every update and every queued command makes one.
  std::shared_ptr<uint8_t[]> bytes = std::make_shared_for_overwrite<uint8_t[]>(size);
  std::memcpy(bytes.get(), data, size);
  p.data = bytes.get();
  p.size = size;
  p.owner = std::move(bytes);
  return p;
}

// ---- FrameReader ----

FrameReader::FrameReader(std::size_t max_body, std::size_t scratch_size)
    : max_body_(max_body), scratch_(std::max(scratch_size, kLengthSize + 1)) {}

std::span<uint8_t> FrameReader::buffer() {
  if (big_data_) return {big_data_.get() + big_filled_, big_room_ - big_filled_};
  if (begin_ > 0) {
    std::memmove(scratch_.data(), scratch_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  return {scratch_.data() + end_, scratch_.size() - end_};
}

std::optional<std::string> FrameReader::commit(std::size_t n, std::vector<Frame> &out) {
  if (big_data_) {
    big_filled_ += n;
    if (big_filled_ < big_size_) return big_filled_ < big_room_ ? std::nullopt : grow_big();
    Frame f;
    f.size = big_size_;
    f.body = std::shared_ptr<uint8_t[]>(big_data_.release(), FreeMemory{});
    out.push_back(std::move(f));
    big_size_ = big_filled_ = big_room_ = 0;
    return std::nullopt;
  }
  end_ += n;
  return parse(out);
}

std::optional<std::string> FrameReader::grow_big() {
  // Doubling keeps the steps few; realloc moves a large block's pages rather than copying
  // them, so the old and the new room are never both held. The last step takes the announced
  // length exactly.
  const std::size_t room = std::min(big_size_, std::max(2 * big_room_, kFirstBigRoom));
  auto *grown = static_cast<uint8_t *>(std::realloc(big_data_.get(), room));
  if (grown == nullptr) return "no memory for a frame of " + std::to_string(big_size_) + " bytes";
  (void)big_data_.release();
  big_data_.reset(grown);
  big_room_ = room;
  return std::nullopt;
}

std::optional<std::string> FrameReader::parse(std::vector<Frame> &out) {
  while (end_ - begin_ >= kLengthSize + 1) {
    const uint8_t *p = scratch_.data() + begin_;
    const uint32_t len = load32(p);
    if (len == 0) return "empty frame";
    if (len > max_body_)
      return "frame of " + std::to_string(len) + " bytes is over the limit of " +
             std::to_string(max_body_);
    if (!known_kind(p[kLengthSize])) return "unknown frame kind " + std::to_string(p[kLengthSize]);
    const std::size_t have = end_ - begin_ - kLengthSize;
    if (have < len && kLengthSize + len <= scratch_.size()) return std::nullopt;  // wait
    Frame f;
    f.size = len;
    if (have >= len) {
      f.body = std::make_shared_for_overwrite<uint8_t[]>(len);  // count and body in one block
      std::memcpy(f.body.get(), p + kLengthSize, len);
      begin_ += kLengthSize + len;
      out.push_back(std::move(f));
      continue;
    }
    // Too big for the scratch buffer: the rest arrives straight into the frame's own buffer,
    // which starts at kFirstBigRoom and grows as the bytes come, never beyond the announced
    // length.
    const std::size_t room = std::min<std::size_t>(len, std::max(2 * have, kFirstBigRoom));
    big_data_.reset(static_cast<uint8_t *>(std::malloc(room)));
    if (!big_data_) return "no memory for a frame of " + std::to_string(len) + " bytes";
    std::memcpy(big_data_.get(), p + kLengthSize, have);
    big_size_ = len;
    big_filled_ = have;
    big_room_ = room;
    begin_ = end_ = 0;
    return std::nullopt;
  }
  return std::nullopt;
}

std::string printable(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto u = static_cast<unsigned char>(ch);
    if (u >= 0x20 && u < 0x7f && ch != '\\') {
      out.push_back(ch);
      continue;
    }
    out += "\\x";
    out.push_back(kHex[u >> 4]);
    out.push_back(kHex[u & 15]);
  }
  return out;
}

// ---- encoders ----

Bytes encode(const RegisterMsg &m) {
  Builder b(m.reclaim ? Kind::kReclaim : Kind::kRegister);
  b.text(m.server).text(m.host).u32(m.port).u32(m.pid);
  put_entries(b, m.entries);
  return b.finish();
}

Bytes encode(const RegisterReplyMsg &m) {
  const uint8_t answer = m.ok ? 1 : m.retry ? 2 : 0;
  return Builder(Kind::kRegisterReply).u8(answer).text(m.text).finish();
}

Bytes encode_add_entry(const Entry &e) {
  return Builder(Kind::kAddEntry).u8(static_cast<uint8_t>(e.kind)).text(e.name).finish();
}

Bytes encode(const EntryRefusedMsg &m) {
  return Builder(Kind::kEntryRefused).text(m.name).text(m.text).finish();
}

Bytes encode_entry_accepted(std::string_view name) {
  return Builder(Kind::kEntryAccepted).text(name).finish();
}

Bytes encode(const LookupMsg &m) {
  return Builder(Kind::kLookup).u32(m.request).text(m.name).finish();
}

Bytes encode(const LookupReplyMsg &m) {
  Builder b(Kind::kLookupReply);
  b.u32(m.request).u8(m.found ? 1 : 0).u8(static_cast<uint8_t>(m.kind));
  b.text(m.server).text(m.host).u32(m.port);
  return b.finish();
}

Bytes encode_list(uint32_t request, std::string_view after) {
  Builder b(Kind::kList);
  b.u32(request);
  if (!after.empty()) b.text(after);
  return b.finish();
}

Bytes encode(const ListReplyMsg &m) {
  Builder b(Kind::kListReply);
  b.u32(m.request).u8(m.truncated ? 1 : 0).u32(static_cast<uint32_t>(m.servers.size()));
  for (const auto &s : m.servers) {
    b.text(s.server).text(s.host).u32(s.port).u32(s.pid);
    put_entries(b, s.entries);
  }
  return b.finish();
}

Bytes encode(const SubscribeMsg &m) {
  return Builder(Kind::kSubscribe).u32(m.sub).text(m.name).finish();
}

Bytes encode_unsubscribe(uint32_t sub) { return Builder(Kind::kUnsubscribe).u32(sub).finish(); }

Bytes encode_no_service(uint32_t sub) { return Builder(Kind::kNoService).u32(sub).finish(); }

std::size_t put_data_head(uint8_t (&out)[kDataHeadSize], uint32_t sub, std::size_t payload_size) {
  put32(out, static_cast<uint32_t>(kDataHeadSize - kLengthSize + payload_size));
  out[kLengthSize] = static_cast<uint8_t>(Kind::kData);
  put32(out + kLengthSize + 1, sub);
  return kDataHeadSize;
}

// Names are cut at kMaxName like the Builder's, so the frame is always decodable.
std::size_t put_command_head(uint8_t (&out)[kMaxCommandHead], std::string_view name,
                             std::size_t payload_size) {
  name = name.substr(0, kMaxName);
  const std::size_t size = kLengthSize + 1 + 2 + name.size();
  put32(out, static_cast<uint32_t>(size - kLengthSize + payload_size));
  out[kLengthSize] = static_cast<uint8_t>(Kind::kCommand);
  out[kLengthSize + 1] = static_cast<uint8_t>(name.size());
  out[kLengthSize + 2] = static_cast<uint8_t>(name.size() >> 8);
  if (!name.empty()) std::memcpy(out + kLengthSize + 3, name.data(), name.size());
  return size;
}

Bytes data_head(uint32_t sub, std::size_t payload_size) {
  uint8_t head[kDataHeadSize];
  return Bytes(head, head + put_data_head(head, sub, payload_size));
}

Bytes command_head(std::string_view name, std::size_t payload_size) {
  uint8_t head[kMaxCommandHead];
  return Bytes(head, head + put_command_head(head, name, payload_size));
}

// ---- decoders ----

std::optional<RegisterMsg> decode_register(const Frame &f) {
  if (!is(f, Kind::kRegister) && !is(f, Kind::kReclaim)) return std::nullopt;
  Fields in(f.fields());
  RegisterMsg m;
  m.reclaim = is(f, Kind::kReclaim);
  m.server = in.text();
  m.host = in.text();
  m.port = in.u32();
  m.pid = in.u32();
  if (!get_entries(in, m.entries) || !in.done() || m.port == 0 || m.port > 65535)
    return std::nullopt;
  return m;
}

std::optional<RegisterReplyMsg> decode_register_reply(const Frame &f) {
  if (!is(f, Kind::kRegisterReply)) return std::nullopt;
  Fields in(f.fields());
  RegisterReplyMsg m;
  const uint8_t answer = in.u8();
  m.ok = answer == 1;
  m.retry = answer == 2;
  m.text = in.text();
  if (!in.done() || answer > 2) return std::nullopt;
  return m;
}

std::optional<Entry> decode_add_entry(const Frame &f) {
  if (!is(f, Kind::kAddEntry)) return std::nullopt;
  Fields in(f.fields());
  Entry e;
  auto k = in.entry_kind();
  e.name = in.text();
  if (!k || !in.done()) return std::nullopt;
  e.kind = *k;
  return e;
}

std::optional<EntryRefusedMsg> decode_entry_refused(const Frame &f) {
  if (!is(f, Kind::kEntryRefused)) return std::nullopt;
  Fields in(f.fields());
  EntryRefusedMsg m;
  m.name = in.text();
  m.text = in.text();
  if (!in.done()) return std::nullopt;
  return m;
}

std::optional<std::string> decode_entry_accepted(const Frame &f) {
  if (!is(f, Kind::kEntryAccepted)) return std::nullopt;
  Fields in(f.fields());
  std::string name = in.text();
  if (!in.done()) return std::nullopt;
  return name;
}

std::optional<LookupMsg> decode_lookup(const Frame &f) {
  if (!is(f, Kind::kLookup)) return std::nullopt;
  Fields in(f.fields());
  LookupMsg m;
  m.request = in.u32();
  m.name = in.text();
  if (!in.done()) return std::nullopt;
  return m;
}

std::optional<LookupReplyMsg> decode_lookup_reply(const Frame &f) {
  if (!is(f, Kind::kLookupReply)) return std::nullopt;
  Fields in(f.fields());
  LookupReplyMsg m;
  m.request = in.u32();
  m.found = in.flag();
  auto k = in.entry_kind();
  m.server = in.text();
  m.host = in.text();
  m.port = in.u32();
  if (!k || !in.done() || m.port > 65535) return std::nullopt;
  m.kind = *k;
  return m;
}

std::optional<ListMsg> decode_list(const Frame &f) {
  if (!is(f, Kind::kList)) return std::nullopt;
  Fields in(f.fields());
  ListMsg m;
  m.request = in.u32();
  if (in.left() > 0) m.after = in.text();  // without it: the first page
  if (!in.done()) return std::nullopt;
  return m;
}

std::optional<ListReplyMsg> decode_list_reply(const Frame &f) {
  if (!is(f, Kind::kListReply)) return std::nullopt;
  Fields in(f.fields());
  ListReplyMsg m;
  m.request = in.u32();
  m.truncated = in.flag();
  const uint32_t n = in.u32();
  for (uint32_t i = 0; i < n && in.ok(); ++i) {
    ServerInfo s;
    s.server = in.text();
    s.host = in.text();
    s.port = in.u32();
    s.pid = in.u32();
    if (!get_entries(in, s.entries)) return std::nullopt;
    m.servers.push_back(std::move(s));
  }
  if (!in.done()) return std::nullopt;
  return m;
}

std::optional<SubscribeMsg> decode_subscribe(const Frame &f) {
  if (!is(f, Kind::kSubscribe)) return std::nullopt;
  Fields in(f.fields());
  SubscribeMsg m;
  m.sub = in.u32();
  m.name = in.text();
  if (!in.done()) return std::nullopt;
  return m;
}

std::optional<uint32_t> decode_sub_id(const Frame &f) {
  if (!is(f, Kind::kUnsubscribe) && !is(f, Kind::kNoService)) return std::nullopt;
  Fields in(f.fields());
  const uint32_t s = in.u32();
  if (!in.done()) return std::nullopt;
  return s;
}

std::optional<DataView> decode_data(const Frame &f) {
  if (!is(f, Kind::kData)) return std::nullopt;
  Fields in(f.fields());
  DataView v;
  v.sub = in.u32();
  if (!in.ok()) return std::nullopt;
  v.data = f.fields().data() + in.pos();
  v.size = in.left();
  return v;
}

std::optional<CommandView> decode_command(const Frame &f) {
  if (!is(f, Kind::kCommand)) return std::nullopt;
  Fields in(f.fields());
  CommandView v;
  v.name = in.text_view();
  if (!in.ok() || v.name.empty() || in.left() > kMaxPayload) return std::nullopt;
  v.data = f.body.get() + 1 + in.pos();
  v.size = in.left();
  return v;
}

void words_to_wire(uint8_t *data, std::size_t size) {
  if constexpr (std::endian::native == std::endian::big) {
    for (std::size_t i = 0; i + 4 <= size; i += 4) {
      std::swap(data[i], data[i + 3]);
      std::swap(data[i + 1], data[i + 2]);
    }
  } else {
    (void)data;
    (void)size;
  }
}

}  // namespace dim::wire
