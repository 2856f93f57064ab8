// Messages the framework would have shown in a box, collected instead, so
// that a test can see them and nothing waits for a person to click.
#pragma once

#include "framework/afxwin.h"

#include <string>
#include <vector>

namespace vx::test {

struct MessageBoxes {
  MessageBoxes() {
    vx::fw::SetMessageBoxHook([this](const char* text, UINT) {
      shown.emplace_back(text);
      return IDOK;
    });
  }
  ~MessageBoxes() { vx::fw::SetMessageBoxHook(nullptr); }
  MessageBoxes(const MessageBoxes&) = delete;
  MessageBoxes& operator=(const MessageBoxes&) = delete;
  std::vector<std::string> shown;
};

}  // namespace vx::test
