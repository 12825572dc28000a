#include "platform/station/answer_match.h"

#include <cstring>

#include "dim/src/zol_records.h"

namespace station {

std::vector<uint8_t> encode_requests(const std::vector<Request> &requests) {
  std::vector<uint8_t> bytes(requests.size() * sizeof(WRITE));
  for (size_t i = 0; i < requests.size(); ++i) {
    const Request &r = requests[i];
    WRITE w{r.method, r.addr, r.value, r.mask, r.write ? 1 : 0};
    std::memcpy(bytes.data() + i * sizeof w, &w, sizeof w);
  }
  return bytes;
}

bool match_answer(const std::vector<Request> &requests, const uint8_t *data, int size,
                  std::vector<Answer> &out) {
  if (data == nullptr || size < 0 || static_cast<size_t>(size) != requests.size() * sizeof(READ) ||
      requests.empty())
    return false;
  std::vector<Answer> answers;
  answers.reserve(requests.size());
  for (size_t i = 0; i < requests.size(); ++i) {
    READ r;
    std::memcpy(&r, data + i * sizeof r, sizeof r);
    const Request &q = requests[i];
    if (r.method != static_cast<uint32_t>(q.method) || r.addr != q.addr || r.mask != q.mask)
      return false;
    answers.push_back(Answer{static_cast<int>(r.method), r.addr, r.val, r.mask});
  }
  out = std::move(answers);
  return true;
}

}  // namespace station
