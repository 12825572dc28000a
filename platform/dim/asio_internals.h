// What a loop of our own needs to know of an io_context it runs beside asio's reactor, and
// what it must tell it. asio offers no public way to ask either, so this reaches into the
// scheduler and the epoll reactor of the asio version we build against; for any other
// version supported() is false and the loop is not used.
//
// The holder of the context (the one thread that runs it) calls these:
//   - reactor_fd: asio's epoll descriptor. It is readable when asio has something to do:
//     a socket or timer it watches is ready, or a handler was posted while the loop waited
//     (see waiting).
//   - has_handlers: whether handlers wait in the queue, such as one posted by this thread
//     outside asio; they run at the next poll().
//   - waiting(true) before the loop sleeps outside asio, waiting(false) after: while it is
//     set, a handler posted from any thread interrupts the reactor, which makes reactor_fd
//     readable. asio does the same for a thread that sleeps inside its own reactor; without it
//     a post from another thread would lie unseen until something else woke the loop.
#pragma once

#include <asio.hpp>

namespace dim::asio_internals {

bool supported();
// Makes sure the context has its reactor (asio creates it with the first socket or timer).
int reactor_fd(asio::io_context &context);
bool has_handlers(asio::io_context &context);
// False when handlers are queued (the caller must run them instead of sleeping) or the
// context is stopped. Looked at under the lock stop() takes: a stop that came before finds
// no reactor sleep to interrupt, so the caller must not sleep; one that comes after
// interrupts the reactor, which wakes it.
bool waiting(asio::io_context &context, bool on);

}  // namespace dim::asio_internals
