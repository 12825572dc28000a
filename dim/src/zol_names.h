// Board identity to messaging names: "/<system>/<type><rev><serial>" is the service prefix
// and the same with "/SERVER" appended is the server name.
#pragma once

#include <cstddef>

extern const char *const System_name[10];
extern const char *const Board_type[6];
extern const char *const Board_rev[3];
extern const char *const Board_sn[26];

// The four texts of a board's names. A field beyond its table is written as a number
// ("Sys12", "Type7", "Rev5", "_26") so that such a board still gets a unique name.
struct BOARD_TEXTS {
  char system[16];
  char type[16];
  char rev[16];
  char sn[16];
};

void board_texts(unsigned sys_id, unsigned brd_type, unsigned brd_rev, unsigned brd_num,
                 BOARD_TEXTS *texts);

// "/%s/%s%s%s" and "/%s/%s%s%s/SERVER" from the texts; both are cut to fit their buffers.
void build_svc_basename(const BOARD_TEXTS *texts, char *out, size_t out_size);
void build_server_name(const BOARD_TEXTS *texts, char *out, size_t out_size);
