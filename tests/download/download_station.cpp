#include "tests/download/download_station.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iterator>

namespace zoltest {

std::string download_file(const std::string &name) {
  return std::string(DOWNLOAD_FILES_DIR) + "/" + name + ".jbc";
}

std::vector<char> read_bytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string write_temp_file(const std::string &tag, const std::vector<char> &bytes) {
  std::string path =
      std::string(ZOL_BUILD_DIR) + "/download-" + tag + "-" + std::to_string(getpid()) + ".jbc";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(out.good()) << "cannot write " << path;
  return path;
}

size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

DownloadBench::DownloadBench(const std::string &tag, std::vector<std::string> server_args)
    : world_(tag) {
  server_ = start_server(world_, "ZOL_server", std::move(server_args));
  startup_length_ = server_->out().size();
}

DownloadBench::~DownloadBench() {
  if (server_) server_->stop();
}

RunResult DownloadBench::load(const std::string &file, std::vector<std::string> extra,
                              std::chrono::milliseconds timeout) {
  std::vector<std::string> args{"-TKeshV2_00"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(file);
  return world_.run_program("fpgaload", args, timeout);
}

std::string DownloadBench::server_log() const { return server_->out().substr(startup_length_); }

bool DownloadBench::wait_status_lines(size_t count, std::chrono::milliseconds timeout) {
  return server_->wait_out(
      [&](const std::string &out) { return count_of(out, "Status ") >= count; }, timeout);
}

std::string DownloadBench::stop_server() {
  server_->stop();
  return server_->out();
}

}  // namespace zoltest
