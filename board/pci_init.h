// Opening the local bus, the same way in every program.
//
// Every program fills the descriptor with the same values and maps the same 64 KiB window.
// The bus is opened once at start and never closed. A failed open ends the process through
// exit(), so a server's exit handler still runs.
#pragma once

// The server's start-up routine: prints "Initializing PCI" and two empty lines, then opens
// the bus. A failure of lb_init_s prints "local bus init: <system text>" and ends the
// process with errno as status; a failure of lb_map prints "lb_map: <system text>" and ends
// it with status 1.
void initialize_PCI();

// The tools' start-up: the same open with the same messages and exit statuses, without the
// banner.
void open_local_bus();
