// Being asked to end. Windows asks a program to close by posting WM_CLOSE to
// its windows (at logoff, from the task manager); Linux sends a signal, whose
// default action kills the program where it stands, with its ports still in
// the settings it gave them. A handler that only writes the signal's number
// to a pipe lets the GUI's event loop turn it into that WM_CLOSE.
#include "platform/hooks.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace vx {
namespace {

constexpr int kAsked[] = {SIGTERM, SIGHUP, SIGINT};
int requestPipe[2] = {-1, -1};
bool handled[std::size(kAsked)] = {};  // written before any handler is in place

void OnTerminationSignal(int signal) {
  const int saved = errno;
  // Once: a program that does not close when asked ends at the next
  // request, whichever of the signals it is.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  for (std::size_t i = 0; i < std::size(kAsked); ++i)
    if (handled[i]) sigaction(kAsked[i], &fallback, nullptr);
  const unsigned char number = static_cast<unsigned char>(signal);
  ssize_t rc = ::write(requestPipe[1], &number, 1);
  (void)rc;  // a full pipe already holds a request
  errno = saved;
}

int InstallOnce() {
  if (pipe2(requestPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  bool any = false;
  for (std::size_t i = 0; i < std::size(kAsked); ++i) {
    struct sigaction old {};
    // A program that handles or ignores the signal itself keeps it.
    if (sigaction(kAsked[i], nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
    handled[i] = true;
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    for (int other : kAsked) sigaddset(&action.sa_mask, other);  // one request at a time
    action.sa_flags = SA_RESTART;
    if (sigaction(kAsked[i], &action, nullptr) == 0) any = true;
    else handled[i] = false;
  }
  if (any) return requestPipe[0];
  ::close(requestPipe[0]);
  ::close(requestPipe[1]);
  requestPipe[0] = requestPipe[1] = -1;
  return -1;
}

}  // namespace

int TerminationRequestDescriptor() {
  static const int fd = InstallOnce();
  return fd;
}

void AnswerTerminationRequest(const HWND* windows, std::size_t count) {
  unsigned char number = 0;
  if (requestPipe[0] < 0 || ::read(requestPipe[0], &number, 1) != 1) return;
  if (count == 0) {
    // No window to ask: end as the signal would have (the handlers are reset).
    ::raise(number);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) PostMessageA(windows[i], WM_CLOSE, 0, 0);
}

}  // namespace vx
