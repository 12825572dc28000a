// Which delivery of a board's register service answers a given transaction. Every station
// of the board receives every answer, so an answer is recognised by its records: one per
// request, each with the request's method, address and mask.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/station/board.h"

namespace station {

// The command's bytes: one 20-byte register request record per request.
std::vector<uint8_t> encode_requests(const std::vector<Request> &requests);

// True when `data` (size bytes) answers `requests`; `out` then holds the answers in order.
bool match_answer(const std::vector<Request> &requests, const uint8_t *data, int size,
                  std::vector<Answer> &out);

}  // namespace station
