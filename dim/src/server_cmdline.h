// The command line shared by ZOL_server and echo_server, taken word by word from the left:
//   word without "-"  DIM_DNS_NODE = word          "Setting DIM_DNS_NODE to %s"
//   -D / -d           *debug = 1
//   -P<port> / -p     DIM_DNS_PORT = port ("2505" when none follows the letter)
//   any other "-" word is ignored.
// A later word overrides an earlier one. The variables are set before the messaging library
// is first called, which reads them then.
#pragma once

// Runs first, before the server prints or touches anything: answers --help and --version,
// and refuses a port word that is not a number from 1 to 65535 (the server could never
// register with it). Returns -1 when the server may start, else the status to exit with.
int server_check_command_line(int argc, char **argv);

void server_command_line(int argc, char **argv, int *debug);
