// A message-only owner window for a link under test: it records every status
// message and collects received bytes, as the dialog would.
#pragma once

#include "link/SerialLink.h"
#include "platform/win32.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace vx::test {

class Owner {
 public:
  Owner();
  ~Owner();
  HWND hwnd() const { return hwnd_; }

  // Dispatches this thread's messages until `done` holds or `ms` pass.
  bool PumpUntil(const std::function<bool()>& done, DWORD ms = 10000);
  void PumpFor(DWORD ms);

  std::vector<std::pair<WPARAM, LPARAM>> statuses;
  std::string received;
  std::vector<DWORD> blockSizes;

 private:
  static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
  HWND hwnd_;
};

// A packet as the dialog makes it: a LocalAlloc'd block the writer will free.
void* MakePacket(const std::string& bytes);

// Offers `bytes` to the link as the dialog does, once a tick, until the link
// takes them (its backlog is bounded) or `ms` pass; a refused block is freed.
bool SendWhenAccepted(CSerialLink& link, Owner& owner, const std::string& bytes, DWORD ms = 10000);

}  // namespace vx::test
