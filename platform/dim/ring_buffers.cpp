#include "platform/dim/ring_buffers.h"

namespace dim {

namespace {
constexpr std::size_t kListBytes = RingBuffers::kCount * sizeof(io_uring_buf);
}  // namespace

std::unique_ptr<RingBuffers> RingBuffers::create(io_uring &ring) {
  std::unique_ptr<RingBuffers> b(new RingBuffers());
  void *list =
      ::mmap(nullptr, kListBytes, PROT_READ | PROT_WRITE, MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
  if (list == MAP_FAILED) return nullptr;
  b->list_ = static_cast<io_uring_buf_ring *>(list);
  io_uring_buf_ring_init(b->list_);
  io_uring_buf_reg reg{};
  reg.ring_addr = reinterpret_cast<uint64_t>(list);
  reg.ring_entries = kCount;
  reg.bgid = kGroup;
  if (io_uring_register_buf_ring(&ring, &reg, 0) != 0) return nullptr;
  // Not touched until the kernel writes into it: a process whose peers send little keeps
  // little of it resident.
  b->storage_ = std::make_unique_for_overwrite<uint8_t[]>(kCount * kSize);
  for (unsigned i = 0; i < kCount; ++i) b->add(i, i);
  io_uring_buf_ring_advance(b->list_, kCount);
  return b;
}

RingBuffers::RingBuffers() = default;

// Let go after the ring has ended, which drops the registration with it.
RingBuffers::~RingBuffers() {
  if (list_ != nullptr) ::munmap(list_, kListBytes);
}

void RingBuffers::add(unsigned buffer, unsigned offset) {
  io_uring_buf_ring_add(list_, storage_.get() + buffer * kSize, kSize,
                        static_cast<unsigned short>(buffer), io_uring_buf_ring_mask(kCount),
                        static_cast<int>(offset));
}

void RingBuffers::give_back(uint32_t cqe_flags) {
  add(id(cqe_flags), 0);
  io_uring_buf_ring_advance(list_, 1);
}

}  // namespace dim
