// What the player needs of its host's JTAG port: one TCK cycle at a time (jbi_jtag_io) and
// a timed wait (jbi_delay). The program links the port in: the board's local-bus port in the
// server and `stapl run`, a recording port in the player's unit tests and fuzz targets.
#pragma once

#include "board/jtag_port.h"
