#include "dim/src/zol_names.h"

#include <cstdio>

const char *const System_name[10] = {"NONE", "BEX",  "ZOL", "DRAK", "PEXA",
                                     "KU",   "MOLT", "WY",  "ZIRP", "NAVU"};
const char *const Board_type[6] = {"Kesh", "Vrel", "Pavok", "Lurem", "Tisla", "Gorv"};
const char *const Board_rev[3] = {"P2", "V1", "V2"};
const char *const Board_sn[26] = {"_00", "_01", "_02", "_03", "_04", "_05", "_06", "_07", "_08",
                                  "_09", "_10", "_11", "_12", "_13", "_14", "_15", "_16", "_17",
                                  "_18", "_19", "_20", "_21", "_22", "_23", "_24", "_25"};

namespace {

void row_or_number(char *out, size_t out_size, const char *const *table, unsigned rows,
                   const char *number_format, unsigned value) {
  if (value < rows)
    std::snprintf(out, out_size, "%s", table[value]);
  else
    std::snprintf(out, out_size, number_format, value);
}

}  // namespace

void board_texts(unsigned sys_id, unsigned brd_type, unsigned brd_rev, unsigned brd_num,
                 BOARD_TEXTS *texts) {
  row_or_number(texts->system, sizeof texts->system, System_name, 10, "Sys%u", sys_id);
  row_or_number(texts->type, sizeof texts->type, Board_type, 6, "Type%u", brd_type);
  row_or_number(texts->rev, sizeof texts->rev, Board_rev, 3, "Rev%u", brd_rev);
  row_or_number(texts->sn, sizeof texts->sn, Board_sn, 26, "_%02u", brd_num);
}

void build_svc_basename(const BOARD_TEXTS *texts, char *out, size_t out_size) {
  std::snprintf(out, out_size, "/%s/%s%s%s", texts->system, texts->type, texts->rev, texts->sn);
}

void build_server_name(const BOARD_TEXTS *texts, char *out, size_t out_size) {
  std::snprintf(out, out_size, "/%s/%s%s%s/SERVER", texts->system, texts->type, texts->rev,
                texts->sn);
}
