// Configuring the simulated FPGA from a station: filled in once the configuration files exist.
#include <gtest/gtest.h>

#include "tests/download/download_station.h"
