// The boards a list of -T values names: plain names as given, patterns matched (shell style)
// against the boards whose servers the name server knows.
#pragma once

#include <string>
#include <vector>

// False, with the reason in `error`, when the name server cannot be asked or a pattern
// matches no board. Each board appears once, in the order first named.
bool resolve_boards(const std::vector<std::string> &given, std::vector<std::string> &boards,
                    std::string &error, int timeout_ms);
