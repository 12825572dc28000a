// Calls beyond the servers' interface, for tools and tests of the messaging library.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/dim/dim.h"
#include "platform/dim/wire.h"

namespace dim {

// Stops the library's threads and forgets every command, service, subscription and timer of
// this process, so a test can start afresh. Must not be called from a handler or callback.
void shutdown();

// Ends the calling of handlers, buffer routines, timer routines and callbacks for good, so
// that a process can take down what they use. The one running (if any) goes on to its end;
// nothing starts after it. Returns true once it has ended, false if it is still running after
// timeout_ms (call again to go on waiting, after whatever makes it end sooner). Inside a
// handler or callback it returns true at once: the rest is forbidden, the caller's own run
// goes on. In a process that never used the library it does nothing.
bool stop_dispatch(int timeout_ms);

// Whether a server whose name the name server refuses ends the process (status 1, the
// default) or dis_start_serving_ just returns 0.
void set_exit_on_refusal(bool on);

// How long a name-server request may go unanswered before the name server counts as
// unreachable (default 5000 ms); lookups are then retried like any other failure.
void set_name_server_timeout(int ms);

// The port this process's server listens on (0 before dis_start_serving_ has opened it).
int server_port();

// Ends a subscription made with dic_info_service_. Its callback is not called after this
// returns, except when release is called from another thread while a delivery is running.
void release_service(unsigned id);

// True inside a dic_info_service_ callback that is receiving the fill data, not contents.
bool delivering_fill();

// What the name server last said about the service of a subscription made with
// dic_info_service_: nothing yet (no answer, or no name server to ask), that it does not know
// the service, or where its server is. A station told "No Link", or left without contents,
// learns from it whether it ever got past the name server.
enum class ServiceLookup { kNoAnswer = 0, kUnknown = 1, kFound = 2 };
ServiceLookup service_lookup(unsigned id);

// Sends a command and waits until it has been written to the server's connection or has
// failed; on failure `error` says why. Returns false on failure or after timeout_ms. Inside
// a handler or callback it cannot wait (the writing happens on that same thread): it then
// only queues the command and returns true.
bool send_command(const std::string &name, const void *data, int size, int timeout_ms,
                  std::string &error);

// Waits on the calling thread until done() returns true or timeout_ms pass, and returns the
// last done(). While it waits, the calling thread does the library's dispatch work itself: it
// reads the connections and runs callbacks, handlers and timer routines (still one at a time),
// so the update that answers a command wakes this thread straight from the network. done() is
// called on this thread between those routines and may also be called while another thread
// runs them: it reads what callbacks write through atomics or a lock of its own. Inside a
// handler or callback it cannot wait for the next one: it returns done() at once.
bool wait_until(const std::function<bool()> &done, int timeout_ms);

// Everything the name server knows, servers with their services and commands, gathered page
// by page. Fails at once inside a handler or callback, where the answer could not arrive
// while it waits. On a failure after some pages `out` holds them, and the list is incomplete.
bool list_servers(std::vector<wire::ServerInfo> &out, std::string &error, int timeout_ms);

}  // namespace dim
