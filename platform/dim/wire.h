// The frame protocol spoken between clients, servers and the name server.
//
// A frame is a 4-byte little-endian length L followed by L bytes: one kind byte, the kind's
// fields, and for commands and service data the payload, which runs to the end of the frame.
// Integers are little-endian; a text is a 16-bit length and that many bytes. The full layout
// is in docs/messaging-protocol.md.
//
// FrameReader splits a byte stream into frames and is the only place that trusts nothing:
// lengths are capped before anything is allocated. The decode_* functions check every field
// of one frame against its body; both report bad input as a value, never by crashing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dim::wire {

// Largest command data or service contents: a whole byte-code file travels as one command.
inline constexpr std::size_t kMaxPayload = std::size_t{64} << 20;
// Largest frame body (kind byte, fields, payload).
inline constexpr std::size_t kMaxFrameBody = kMaxPayload + 4096;
// Longest name (server, service, command) and host text.
inline constexpr std::size_t kMaxName = 1024;
inline constexpr std::size_t kLengthSize = 4;

enum class Kind : uint8_t {
  kRegister = 1,        // server -> name server: server name, address, all entries
  kRegisterReply = 2,   // name server -> server: accepted or refused, with a text
  kAddEntry = 3,        // server -> name server: one entry added after registration
  kEntryRefused = 4,    // name server -> server: an entry name belongs to another server
  kLookup = 5,          // client -> name server: where is this name?
  kLookupReply = 6,     // name server -> client
  kList = 7,            // client -> name server: everything known
  kListReply = 8,       // name server -> client
  kReclaim = 9,         // server -> name server: register again a name it held before
  kEntryAccepted = 10,  // name server -> server: an entry added later is now its own
  kSubscribe = 16,      // client -> server: subscription id, service name
  kUnsubscribe = 17,    // client -> server: subscription id
  kData = 18,           // server -> client: subscription id, contents
  kNoService = 19,      // server -> client: subscription id names no service here
  kCommand = 20,        // client -> server: command name, data
};

bool known_kind(uint8_t k);

enum class EntryKind : uint8_t { kService = 1, kCommand = 2 };

using Bytes = std::vector<uint8_t>;

// Bytes shared between the thread that produced them and the threads that send or deliver
// them; `owner` keeps `data` alive.
struct Payload {
  std::shared_ptr<const void> owner;
  const uint8_t *data = nullptr;
  std::size_t size = 0;

  static Payload copy_of(const void *data, std::size_t size);
};

// One received frame. The body (kind byte and everything after it) is owned by the frame and
// is writable, so command data can be handed to a handler in place.
struct Frame {
  std::shared_ptr<uint8_t[]> body;
  std::size_t size = 0;

  Kind kind() const { return static_cast<Kind>(body[0]); }
  std::span<const uint8_t> fields() const { return {body.get() + 1, size - 1}; }
};

// Splits a received byte stream into frames. Small frames are gathered in a scratch buffer;
// a frame larger than that gets its own buffer, and the rest of it is received straight into
// it. That buffer starts at kFirstBigRoom (the whole frame when it is shorter) and doubles as
// the bytes arrive, up to the announced length: a peer that announces 64 MiB and sends little
// holds 1 MiB, and a whole 64 MiB command still costs a few reallocations, with no per-byte
// work.
class FrameReader {
 public:
  // Each growth of a large buffer maps fresh memory and unmaps the old, and in a process of
  // several threads every unmapping interrupts the other CPUs: grown from 128 KiB, a 1 MiB
  // command took 8 ms to receive where one buffer takes 0.2 ms. Most large commands (an
  // FPGA's configuration) fit in the first room.
  static constexpr std::size_t kFirstBigRoom = std::size_t{1} << 20;

  explicit FrameReader(std::size_t max_body = kMaxFrameBody,
                       std::size_t scratch_size = std::size_t{64} * 1024);

  // Where the next received bytes go.
  std::span<uint8_t> buffer();
  // Accounts for n bytes written into buffer(); complete frames are appended to `out`.
  // Returns the reason when the stream is malformed; the reader must not be used after that.
  std::optional<std::string> commit(std::size_t n, std::vector<Frame> &out);
  // Bytes received so far of a frame too large for the scratch buffer (0 when none).
  std::size_t partial_bytes() const { return big_data_ ? big_filled_ : 0; }
  // Bytes allocated for that frame so far (0 when none).
  std::size_t partial_capacity() const { return big_data_ ? big_room_ : 0; }

 private:
  struct FreeMemory {
    void operator()(uint8_t *p) const { std::free(p); }
  };
  std::optional<std::string> parse(std::vector<Frame> &out);
  std::optional<std::string> grow_big();

  std::size_t max_body_;
  std::vector<uint8_t> scratch_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  // A frame too large for the scratch buffer, while it arrives: malloc'ed, so that it grows in
  // place.
  std::unique_ptr<uint8_t, FreeMemory> big_data_;
  std::size_t big_size_ = 0;  // the announced length
  std::size_t big_filled_ = 0;
  std::size_t big_room_ = 0;  // allocated for big_data_ so far
};

// ---- messages ----

struct Entry {
  EntryKind kind = EntryKind::kService;
  std::string name;
};

struct RegisterMsg {
  std::string server;
  std::string host;
  uint32_t port = 0;
  uint32_t pid = 0;
  std::vector<Entry> entries;
  // Sent as kReclaim by a server that was registered before the name server restarted.
  bool reclaim = false;
};

struct RegisterReplyMsg {
  bool ok = false;
  std::string text;
  // Not refused, only not yet: the name server is still letting returning servers come back.
  bool retry = false;
};

struct EntryRefusedMsg {
  std::string name;
  std::string text;
};

// A page of the list starts after the server named `after` (empty: from the first).
struct ListMsg {
  uint32_t request = 0;
  std::string after;
};

struct LookupMsg {
  uint32_t request = 0;
  std::string name;
};

struct LookupReplyMsg {
  uint32_t request = 0;
  bool found = false;
  EntryKind kind = EntryKind::kService;
  std::string server;
  std::string host;
  uint32_t port = 0;
};

struct ServerInfo {
  std::string server;
  std::string host;
  uint32_t port = 0;
  uint32_t pid = 0;
  std::vector<Entry> entries;
};

struct ListReplyMsg {
  uint32_t request = 0;
  // More servers follow: ask again after the last server of this reply.
  bool truncated = false;
  std::vector<ServerInfo> servers;
};

struct SubscribeMsg {
  uint32_t sub = 0;
  std::string name;
};

// Data and commands are decoded as views into the frame, so the payload is never copied.
struct DataView {
  uint32_t sub = 0;
  const uint8_t *data = nullptr;
  std::size_t size = 0;
};

struct CommandView {
  std::string_view name;  // inside the frame
  uint8_t *data = nullptr;
  std::size_t size = 0;
};

// Whole frames (length prefix included), ready to send.
Bytes encode(const RegisterMsg &m);
Bytes encode(const RegisterReplyMsg &m);
Bytes encode_add_entry(const Entry &e);
Bytes encode(const EntryRefusedMsg &m);
Bytes encode_entry_accepted(std::string_view name);
Bytes encode(const LookupMsg &m);
Bytes encode(const LookupReplyMsg &m);
Bytes encode_list(uint32_t request, std::string_view after = {});
Bytes encode(const ListReplyMsg &m);
Bytes encode(const SubscribeMsg &m);
Bytes encode_unsubscribe(uint32_t sub);
Bytes encode_no_service(uint32_t sub);
// Data and command frames are sent as this head followed by the payload bytes.
Bytes data_head(uint32_t sub, std::size_t payload_size);
Bytes command_head(std::string_view name, std::size_t payload_size);
// The same heads written into the caller's buffer, for the paths that send one frame at once
// and need nothing kept: each returns the head's length.
inline constexpr std::size_t kDataHeadSize = kLengthSize + 1 + 4;
inline constexpr std::size_t kMaxCommandHead = kLengthSize + 1 + 2 + kMaxName;
std::size_t put_data_head(uint8_t (&out)[kDataHeadSize], uint32_t sub, std::size_t payload_size);
std::size_t put_command_head(uint8_t (&out)[kMaxCommandHead], std::string_view name,
                             std::size_t payload_size);

// Each returns nothing when the frame's fields do not match its kind exactly.
std::optional<RegisterMsg> decode_register(const Frame &f);  // kRegister and kReclaim
std::optional<RegisterReplyMsg> decode_register_reply(const Frame &f);
std::optional<Entry> decode_add_entry(const Frame &f);
std::optional<EntryRefusedMsg> decode_entry_refused(const Frame &f);
std::optional<LookupMsg> decode_lookup(const Frame &f);
std::optional<LookupReplyMsg> decode_lookup_reply(const Frame &f);
std::optional<std::string> decode_entry_accepted(const Frame &f);
std::optional<ListMsg> decode_list(const Frame &f);
std::optional<ListReplyMsg> decode_list_reply(const Frame &f);
std::optional<SubscribeMsg> decode_subscribe(const Frame &f);
std::optional<uint32_t> decode_sub_id(const Frame &f);  // kUnsubscribe, kNoService
std::optional<DataView> decode_data(const Frame &f);
std::optional<CommandView> decode_command(const Frame &f);

// A text from a peer as it may be printed in a log line: bytes outside printable ASCII, and
// the backslash, are written as \xNN, so a peer cannot forge lines or send the terminal
// escape sequences. Ordinary names come out unchanged.
std::string printable(std::string_view text);

// Format "L" data travels as little-endian 32-bit words; on a big-endian host the words of
// the first size/4*4 bytes are swapped in place (nothing to do on the board's computer).
void words_to_wire(uint8_t *data, std::size_t size);

}  // namespace dim::wire
