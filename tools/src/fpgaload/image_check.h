// What fpgaload finds out about a byte-code file before it sends it: the checks the server's
// download driver makes first, with the player's own queries, so that a file the server could
// never run is refused at the station with the reason instead of failing on the board.
#pragma once

#include <string>
#include <vector>

// True when the image is a Jam 1.1 or Jam STAPL byte-code file with a matching CRC and, in
// the Jam STAPL format, the action `action`. Otherwise false, with the reason in `why`.
bool check_image(const std::vector<char> &image, std::string &why,
                 const std::string &action = "configure");
