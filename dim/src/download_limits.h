// Budgets of the server's downloads, so that no byte-code file a station sends can hold the
// server for ever or make it large: the player's memory, the run's time and its TCK cycles.
// Each comes from an environment variable read once when the server starts; a value that is
// not a whole number is reported on standard error and the default stays:
//   ZOL_PLAYER_MEMORY_MB  memory the player may hold at once, in MiB (default 256)
//   ZOL_DOWNLOAD_SECONDS  run time of one download, in seconds (default 600)
//   ZOL_DOWNLOAD_TCK      TCK cycles of one download (default 10000000000)
// 0 means no limit. A download that reaches one ends as failed, and the player's report names
// the budget.
#pragma once

// Sets the player's budgets for the download about to run.
void apply_download_limits();
