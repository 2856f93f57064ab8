// The dialog's status line on the terminal as it changes: one self-updating
// line with a progress bar on a terminal, plain lines otherwise, at most ten
// times a second.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace vx::tools {

class StatusView {
 public:
  StatusView(FILE* out, std::uint64_t total) : out_(out), total_(total), tty_(isatty(fileno(out))) {}

  void Show(const std::string& status, std::uint64_t written, bool force = false) {
    auto now = std::chrono::steady_clock::now();
    if (status == last_ && !force) return;
    if (!force && shown_ && now - lastShown_ < std::chrono::milliseconds(100)) return;
    shown_ = true;
    lastShown_ = now;
    last_ = status;
    if (tty_) {
      std::string bar;
      if (total_) {
        int filled = static_cast<int>(std::min<std::uint64_t>(written * 20 / total_, 20));
        bar = "[" + std::string(filled, '#') + std::string(20 - filled, '.') + "] ";
      }
      std::fprintf(out_, "\r\033[K%s%s", bar.c_str(), status.c_str());
    } else {
      std::fprintf(out_, "%s\n", status.c_str());
    }
    std::fflush(out_);
  }

  void End() {
    if (tty_ && shown_) std::fprintf(out_, "\n");
  }

 private:
  FILE* out_;
  std::uint64_t total_;
  bool tty_;
  bool shown_ = false;
  std::string last_;
  std::chrono::steady_clock::time_point lastShown_;
};

}  // namespace vx::tools
