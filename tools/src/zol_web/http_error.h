// A request the gateway refuses or cannot serve: the HTTP status and the text the page shows.
#pragma once

#include <stdexcept>
#include <string>

namespace zolweb {

class HttpError : public std::runtime_error {
 public:
  HttpError(int status, const std::string &message)
      : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

}  // namespace zolweb
