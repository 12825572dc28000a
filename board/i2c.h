// The I2C master behind local-bus registers 8 (command/status) and 12 (data).
#pragma once

#include <cstdint>

// Pause in microseconds between sending a byte and waiting for it: 10 in the server,
// 100 in the self-test. Set once at start-up.
extern int I2C_pause_us;

int I2C_Read(uint32_t address, uint32_t *data);
int I2C_Write(uint32_t address, uint32_t data);
void CheckStatus(uint32_t data);
void WaitDone();
