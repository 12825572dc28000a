// ZOL_server: the board's register server. Start-up reads the board identity, names the
// server after it and registers three commands and three services; from then on every
// handler, buffer routine and timer routine below runs on the messaging library's dispatch
// thread, one at a time, which is why the tables carry no lock.
#pragma once

#include <cstdint>

#include "dim/src/zol_records.h"

// Start-up and identity (ZOL_server.cpp).
extern int DEBUG;  // 1 after -D: one trace per register request
extern uint32_t SysID, BrdType, BrdRev, BrdNum;
extern char Server_name[64];
extern int Svc_FPGAStatus, Svc_Registers, Svc_Counters;
int init_server();
void server_exit();

// Register read/write (ZOL_registers.cpp).
extern READ RegisterR[MAX_REGISTERS];
extern int Nregisters;
extern uint32_t RegTemp;
void ReadWrite_registers(long *tag, void *RegisterW, int *size);
void Build_RegSvc(long *tag, void **address, int *size);

// Register subscription (ZOL_subscription.cpp).
extern SUBSCRIPTION Subscription[MAX_COUNTERS];
extern int Ncounters;
extern int CntUpdate_interval;
enum { COUNTER_TIMER_TAG = 255 };
void Subscribe_counters(long *tag, void *counter, int *size);
void Update_counters(long tag);
void Build_CntSvc(long *tag, void **address, int *size);
void arm_counter_timer();

// FPGA download (ZOL_download.cpp, download_run.cpp).
extern int Downloaded;  // 0 no download yet, 1 loaded, 2 failed
void download(long *tag, void *FPGAdata, int *size);
void run_action(long *tag, void *data, int *size);
void abort_download(long *tag, void *data, int *size);
