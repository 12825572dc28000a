// How the servers' main thread spends its life after start-up, and how a server is stopped.
//
// SIGTERM and SIGINT are held in every thread (the mask is set before the messaging library
// starts its threads, which inherit it) and taken only by the idle main thread. That thread
// stops the library's calls before it ends the process through exit(), so the exit handler
// registered at start-up runs on a normal thread, never inside a signal handler, and nothing
// else of the server runs beside it.
#pragma once

// Call first thing in main, before any library thread exists.
void server_hold_stop_signals();

// Ends the messaging library's calls of the server's routines for good: the one running (if
// any) ends first, and no handler, buffer routine or timer routine starts after this returns.
// `interrupt`, when not null, is called first and again every 50 ms while a routine still
// runs, to cut a long one short. Called again, it returns at once.
void server_stop_serving(void (*interrupt)());

// Idles until SIGTERM or SIGINT arrives, then stops serving (with `interrupt` as above) and
// ends the process with exit(0).
[[noreturn]] void server_idle(void (*interrupt)() = nullptr);
