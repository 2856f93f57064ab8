// Being asked to end. Windows asks a program to close by posting WM_CLOSE to
// its windows (at logoff, from the task manager); Linux sends a signal, whose
// default action kills the program where it stands, with its ports still in
// the settings it gave them. A handler that only writes the signal's number
// to a pipe lets the GUI's event loop turn it into that WM_CLOSE.
#include "platform/hooks.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace vx {
namespace {

int requestPipe[2] = {-1, -1};

void OnTerminationSignal(int signal) {
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(signal);
  ssize_t rc = ::write(requestPipe[1], &number, 1);
  (void)rc;  // a full pipe already holds a request
  errno = saved;
}

int InstallOnce() {
  if (pipe2(requestPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  bool any = false;
  for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
    struct sigaction old {};
    // A program that handles or ignores the signal itself keeps it.
    if (sigaction(signal, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    // Once: a program that does not close when asked ends at the second request.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    any = sigaction(signal, &action, nullptr) == 0 || any;
  }
  return any ? requestPipe[0] : -1;
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
    // No window to ask: end as the signal would have (its handler is reset).
    ::raise(number);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) PostMessageA(windows[i], WM_CLOSE, 0, 0);
}

}  // namespace vx
