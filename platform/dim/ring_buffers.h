// The buffers a ring lends its standing receives: the kernel picks a free one for each
// arrival and names it in the completion, and the loop gives it back once the bytes are
// copied out. Bytes a peer sends wait in the socket while none is free.
#pragma once

#include <liburing.h>
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace dim {

class RingBuffers {
 public:
  static constexpr uint16_t kGroup = 7;
  // Few: the kernel fills them as far ahead as the socket holds bytes, and a large frame (an
  // FPGA's configuration) would come through all of them, copied piece by piece, before the
  // connection switches to plain receives into the frame's own buffer. With 128 a 1 MiB
  // command took 0.19 ms instead of 0.13 to reach its handler; with 32 no more than before.
  // Arrivals beyond them wait for a plain receive.
  static constexpr unsigned kCount = 32;  // a power of two
  static constexpr std::size_t kSize = 4096;

  // Nothing when the kernel refuses them (before 5.19).
  static std::unique_ptr<RingBuffers> create(io_uring &ring);
  // To be let go once the ring has ended: the kernel may write into the buffers until then.
  ~RingBuffers();
  RingBuffers(const RingBuffers &) = delete;
  RingBuffers &operator=(const RingBuffers &) = delete;

  // The buffer a completion's flags name.
  const uint8_t *data(uint32_t cqe_flags) const { return storage_.get() + id(cqe_flags) * kSize; }
  void give_back(uint32_t cqe_flags);

 private:
  RingBuffers();
  static unsigned id(uint32_t cqe_flags) { return cqe_flags >> IORING_CQE_BUFFER_SHIFT; }
  void add(unsigned id, unsigned offset);

  // Shared with the kernel: the list of free buffers.
  io_uring_buf_ring *list_ = nullptr;
  std::unique_ptr<uint8_t[]> storage_;
};

}  // namespace dim
