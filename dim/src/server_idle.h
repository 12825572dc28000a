// How the servers' main thread spends its life after start-up, and how a server is stopped.
//
// SIGTERM and SIGINT are held in every thread (the mask is set before the messaging library
// starts its threads, which inherit it) and taken only by the idle main thread. That thread
// then ends the process through exit(), so the exit handler registered at start-up runs on
// a normal thread, never inside a signal handler.
#pragma once

// Call first thing in main, before any library thread exists.
void server_hold_stop_signals();

// Idles until SIGTERM or SIGINT arrives, then ends the process with exit(0).
[[noreturn]] void server_idle();
