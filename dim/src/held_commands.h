// Register commands, subscription commands, downloads and the subscription timer that come
// while a download runs wait here and are served after it, in the order they arrived. A
// download started by a held command holds the rest again until it has ended in turn.
// Dispatch thread only.
#pragma once

#include "platform/dim/dim.h"

// At the start of a handler: 1 when the command was kept for later (or dropped because the
// server is stopping) and the handler must return at once, 0 to serve it now.
int hold_if_busy(dis_cmnd_handler handler, void *data, int *size);
// The same for a timer routine.
int hold_timer_if_busy(dtq_timer_routine routine, long tag);
// Serves what was held, in order, until the queue is empty or one of them starts a download.
// Once the server is stopping nothing is served or held any more: it is dropped, as the
// messaging library drops what comes after its last handler.
void serve_held();
