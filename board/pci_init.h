// Opening the local bus, the same way in every program.
#pragma once

// The server's start-up routine: prints "Initializing PCI" and opens the bus; a failure
// ends the process (errno as status after lb_init_s, 1 after lb_map).
void initialize_PCI();
// The tools' start-up: the same open with the same messages, without the banner.
void open_local_bus();
