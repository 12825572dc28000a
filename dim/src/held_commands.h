// Register commands, subscription commands, downloads and the subscription timer that come
// while a download runs wait here and are served after it, in the order they arrived. A
// download started by a held command holds the rest again until it has ended in turn.
//
// What waits is bounded, so that a station sending while a download runs cannot make the
// server grow without end: at most HELD_MAX_COMMANDS commands holding at most HELD_MAX_BYTES
// of data in all (room for one file of the largest size the messaging library carries and
// 16 MiB beside it). A command that does not fit is ignored with one line on standard error
// (those lines are rate-limited); the station gets no answer to it, as for any command lost on
// the way. The subscription timer's run is never refused: only one of it can wait at a time.
// Dispatch thread only.
#pragma once

#include <climits>
#include <cstddef>

#include "platform/dim/dim.h"
#include "platform/dim/wire.h"

enum { HELD_MAX_COMMANDS = 4096 };
inline constexpr std::size_t HELD_MAX_BYTES = dim::wire::kMaxPayload + (std::size_t{16} << 20);

// At the start of a handler: 1 when the command was kept for later, ignored because what waits
// is at its bounds, or dropped because the server is stopping, and the handler must return at
// once; 0 to serve it now. `name` names the command in the line about an ignored one. `used`
// is the most bytes at the start of the data that the handler ever reads: a held command keeps
// only those, and is handed back with its byte count as received.
int hold_if_busy(const char *name, dis_cmnd_handler handler, void *data, int *size,
                 int used = INT_MAX);
// The same for a timer routine.
int hold_timer_if_busy(dtq_timer_routine routine, long tag);
// Serves what was held, in order, until the queue is empty or one of them starts a download.
// Once the server is stopping nothing is served or held any more: it is dropped, as the
// messaging library drops what comes after its last handler.
void serve_held();
