// One TCP connection carrying frames, used by clients, servers and the name server alike.
//
// Every member is called on the thread that runs the connection's io_context, except
// send_from_any_thread; the sending side is guarded by a lock for its sake. Received frames
// go to the frame handler in order; a malformed stream closes the connection with a message on
// stderr and touches nothing else. Sending never blocks: a frame for an idle connection is
// written at once by the sending thread, with nothing kept; otherwise frames queue and are
// written in batches. Service data is coalesced per subscription, so a reader that falls
// behind gets only the latest contents and the sender's memory stays bounded.
//
// What a peer can make a connection hold is bounded: replies waiting to be written (reading
// stops while they exceed the backlog limit, checked before every frame is handled, and a
// budget shared by the connections of a process closes the one stalled longest), frames
// still being received (a budget shared likewise), and the time it may stay silent after
// connecting.
#pragma once

#include <array>
#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/dim/ring_loop.h"
#include "platform/dim/shared_budget.h"
#include "platform/dim/short_read.h"
#include "platform/dim/wire.h"

namespace dim {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using FrameHandler = std::function<void(wire::Frame &&)>;
  // Called once when the connection ends; `reason` is empty for an orderly close.
  using CloseHandler = std::function<void(const std::string &reason)>;
  // Called when a frame has been written (true) or dropped because the connection ended.
  using WrittenHandler = std::function<void(bool written)>;

  // Why reading is held back; reading resumes when no reason is left.
  enum Hold : unsigned { kHoldBacklog = 1 };

  struct Options {
    // Stop reading requests while this many bytes of replies wait to be written, so a peer
    // that sends but never reads cannot grow our memory.
    std::size_t backlog_limit = std::size_t{8} << 20;
    bool hold_on_backlog = true;
    // Starts the fault lines on stderr ("dim_dns" in the name server).
    const char *program = "dim";
    // Largest frame accepted from the peer.
    std::size_t max_frame_body = wire::kMaxFrameBody;
    // Shared by the connections of one listener; none: partial frames are not limited.
    std::shared_ptr<SharedBudget> frame_budget;
    // Shared likewise for answers waiting to be written; none: only the backlog limits them.
    std::shared_ptr<SharedBudget> answer_budget;
    // Closed when no complete frame has arrived this long after start (zero: never).
    std::chrono::milliseconds handshake_timeout{0};
    // Bytes read at a time into a buffer held for the connection's life (frames larger than it
    // get their own). A listener of thousands of connections that carry short frames, like
    // the name server, keeps it small.
    std::size_t read_buffer = std::size_t{64} * 1024;
    // The ring of the context the socket belongs to (ring_loop.h): the connection then reads,
    // and waits for room to write, through it, and its socket leaves asio's reactor. None:
    // asio's reactor watches the socket.
    RingLoop *ring = nullptr;
  };

  Connection(asio::ip::tcp::socket socket, std::string label, Options options);
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;
  ~Connection();

  void start(FrameHandler on_frame, CloseHandler on_close);

  void send(wire::Bytes frame, WrittenHandler written = nullptr);
  void send(wire::Bytes head, wire::Payload payload, WrittenHandler written = nullptr);
  // Queues service data for subscription `sub`, replacing any not yet written. Data borrowed
  // from the service (no owner) is written at once when the connection is idle; `payload`
  // becomes an owned copy when it must wait, which the next subscriber then shares.
  void send_latest(uint32_t sub, wire::Payload &payload);
  // Any thread: writes one frame (head, then `size` bytes of data) at once if nothing else
  // is waiting to be written. False when it did not (busy, closed, socket full): the caller
  // then sends it the usual way. A frame that went out only in part is finished in order by
  // the owning thread.
  bool send_from_any_thread(std::span<const uint8_t> head, const uint8_t *data, std::size_t size);

  // Ends the connection. A non-empty reason is printed on stderr as a protocol fault.
  void close(const std::string &reason = {});
  // Ends the connection quietly (peer went away, shutting down).
  void drop();

  void hold(Hold why, bool on);

  bool is_open() const { return open_; }
  // True once a complete frame has arrived.
  bool heard() const { return heard_; }
  const std::string &label() const { return label_; }

 private:
  struct Out {
    wire::Bytes head;
    wire::Payload payload;
    WrittenHandler written;
  };

  void read_more();
  void on_read(const asio::error_code &ec, std::size_t n);
  void deliver();
  wire::FrameReader &reader();
  // Hands the reader n bytes received elsewhere.
  std::optional<std::string> copy_in(const uint8_t *data, std::size_t n);
  // After the reader took bytes: what a first frame, and a partial one, mean. False when
  // that closed the connection.
  bool took_bytes(std::size_t frames_before);
  void start_read();
  void first_ring_read();
  // Whether the next read through the ring stands (see RingLoop::receive_standing).
  bool may_stand() const;
  // Ends the standing receive when it is not wanted any more; it goes on until its last
  // completion comes back.
  void review_standing();
  // Cancels the standing receive, unless that is already asked.
  void end_standing();
  // Frames all handled: their room is used afresh.
  void drop_handled_frames();
  static void read_done(void *self, const asio::error_code &ec, std::size_t n);
  static void ring_read_done(void *self, int result);
  static void standing_done(void *self, int result, const uint8_t *data, bool more);
  void on_standing(int result, const uint8_t *data, bool more);
  static void ring_writable_done(void *self, int result);
  void on_writable(int result);
  // write_mutex_ held: writes what the socket takes of buffers_; an error, or none.
  asio::error_code write_rest();
  // write_mutex_ held. Writes a frame at once when nothing else waits to be written and
  // returns how much went out; nothing when the connection is busy.
  std::optional<std::size_t> write_if_idle(std::span<const uint8_t> head, const uint8_t *data,
                                           std::size_t size);
  // write_mutex_ held: queues the part of a frame that write_if_idle left, to go out first.
  void queue_rest(std::span<const uint8_t> head, const uint8_t *data, std::size_t size,
                  std::size_t sent, WrittenHandler written);
  std::size_t gather();    // write_mutex_ held
  std::size_t send_now();  // write_mutex_ held
  void write_more();
  void write_more_locked();  // write_mutex_ held
  void after_writing();
  void on_written(const asio::error_code &ec);
  void finish(const std::string &reason, bool report);
  void update_backlog_hold();
  // Tells the answer budget what waits now; it may close this connection.
  void hold_answers(std::size_t queued);

  // With a ring the socket only lends its executor: the descriptor is fd_'s alone.
  asio::ip::tcp::socket socket_;
  int fd_ = -1;
  std::string label_;
  Options options_;
  FrameHandler on_frame_;
  CloseHandler on_close_;
  // Made at the first arrival: a connection that never sends costs no receive buffer, only
  // the small room its first read goes into (a crowd of silent connections is the cheapest
  // attack there is).
  std::optional<wire::FrameReader> reader_;
  static constexpr std::size_t kFirstRoom = 256;
  std::array<uint8_t, kFirstRoom> first_room_;
  // Received frames not yet handled, from `next_` on; handling stops while reading is held.
  std::vector<wire::Frame> frames_;
  std::size_t next_ = 0;
  std::size_t partial_ = 0;  // what this connection holds of the frame budget
  asio::steady_timer handshake_timer_;
  bool heard_ = false;
  bool open_ = true;
  bool started_ = false;
  bool reading_ = false;       // a read is under way: asio's, or one in the ring
  bool standing_ = false;      // the one in the ring is the standing receive
  bool cancelling_ = false;    // which has been asked to end
  bool single_next_ = false;   // the ring ran out of buffers: one plain receive first
  std::size_t read_size_ = 0;  // room offered to the last read
  ShortRead read_op_{&Connection::read_done, this};
  RingLoop::Op ring_read_{&Connection::ring_read_done, this};
  RingLoop::Op ring_standing_{&Connection::standing_done, this};
  RingLoop::Op ring_writable_{&Connection::ring_writable_done, this};
  bool in_handler_ = false;
  unsigned held_ = 0;

  // Guards open_ (for writing; the owning thread alone changes it) and everything below.
  std::mutex write_mutex_;
  std::deque<Out> queue_;
  std::unordered_map<uint32_t, wire::Payload> latest_;
  std::deque<uint32_t> latest_order_;
  std::vector<Out> writing_;
  std::vector<asio::const_buffer> buffers_;
  std::size_t writing_bytes_ = 0;
  std::size_t queued_bytes_ = 0;
  // Owning thread: what the answer budget counts for us, and since when none of it was taken.
  std::size_t answers_held_ = 0;
  std::chrono::steady_clock::time_point stalled_since_{};
  // Handlers of completed writes, run by the owning thread once the lock is released.
  std::vector<std::pair<WrittenHandler, bool>> finished_;
};

}  // namespace dim
