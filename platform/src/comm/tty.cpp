// Backend for real character devices: ttys (serial ports, pseudo-terminals)
// and any other character device opened by path.
#include "../kernel.h"
#include "nonblocking_io.h"
#include "port.h"
#include "settings_not_held.h"
#include "tty_termios2.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace vx::comm {
namespace {

struct BaudPair {
  DWORD baud;
  speed_t speed;
};
constexpr BaudPair kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

DWORD BaudOf(speed_t s) {
  for (auto& b : kBauds)
    if (b.speed == s) return b.baud;
  return 0;
}

bool SpeedOf(DWORD baud, speed_t* s) {
  for (auto& b : kBauds)
    if (b.baud == baud) {
      *s = b.speed;
      return true;
    }
  return false;
}

// A tty whose far side has gone fails reads and writes with EIO.
DWORD Failure(int e) { return e == EIO ? DWORD(ERROR_DEVICE_NOT_CONNECTED) : kernel::ErrnoToWin32(e); }

class TtyBackend final : public Backend {
 public:
  // `fd` is a terminal this process has claimed (see ClaimTerminal), or
  // another character device; `blockingFd` the same terminal opened again
  // without O_NONBLOCK, or -1.
  TtyBackend(int fd, int blockingFd) : fd_(fd), blockingFd_(blockingFd), isTty_(isatty(fd)) {
    if (isTty_) found_ = SaveLine(fd_);
    if (isTty_) MakeRaw();
  }
  ~TtyBackend() override {
    if (isTty_) {
      // Left as it was found: a terminal put back into raw mode by an
      // exerciser would be unusable, and the next program expects its rate.
      RestoreLine(fd_, found_);
      ioctl(fd_, TIOCNXCL);
    }
    if (blockingFd_ >= 0) ::close(blockingFd_);
    ::close(fd_);  // also releases the flock
  }

  long ReadSome(void* buffer, std::size_t size, DWORD* error) override {
    return ReadAvailable([&] { return ::read(fd_, buffer, size); }, size, error, Failure);
  }

  // The line discipline copies out everything it holds in one read.
  bool ShortReadsDrain() const override { return true; }

  long WriteSome(const void* buffer, std::size_t size, DWORD* error) override {
    return WriteAvailable([&] { return ::write(fd_, buffer, size); }, error, Failure);
  }

  bool CanWriteBlocking() const override { return blockingFd_ >= 0; }
  long WriteBlocking(const void* buffer, std::size_t size, DWORD* error) override {
    const ssize_t n = ::write(blockingFd_, buffer, size);
    if (n >= 0) return n;
    if (errno == EINTR) return 0;  // cut short before any byte moved
    *error = Failure(errno);
    return -1;
  }

  int Fd() const override { return fd_; }
  bool IsCommDevice() const override { return isTty_; }

  BOOL ReadState(DCB* dcb) override {
    termios t;
    if (tcgetattr(fd_, &t) != 0) return kernel::Fail(kernel::ErrnoToWin32(errno), FALSE);
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = BaudOf(cfgetospeed(&t));
    if (dcb->BaudRate == 0) dcb->BaudRate = ReadArbitraryRate(fd_);
    dcb->fBinary = TRUE;
    dcb->fParity = (t.c_iflag & INPCK) ? TRUE : FALSE;
    bool rtscts = t.c_cflag & CRTSCTS;
    dcb->fOutxCtsFlow = rtscts;
    dcb->fRtsControl = rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fOutX = (t.c_iflag & IXON) ? TRUE : FALSE;
    dcb->fInX = (t.c_iflag & IXOFF) ? TRUE : FALSE;
    switch (t.c_cflag & CSIZE) {
      case CS5: dcb->ByteSize = 5; break;
      case CS6: dcb->ByteSize = 6; break;
      case CS7: dcb->ByteSize = 7; break;
      default: dcb->ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB))
      dcb->Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
      dcb->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
      dcb->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    dcb->StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb->XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    dcb->XonLim = 2048;
    dcb->XoffLim = 512;
    return TRUE;
  }

  BOOL WriteState(const DCB& dcb) override {
    termios t;
    if (tcgetattr(fd_, &t) != 0) return kernel::Fail(kernel::ErrnoToWin32(errno), FALSE);
    speed_t speed;
    bool standard = SpeedOf(dcb.BaudRate, &speed);
    if (standard) {
      cfsetispeed(&t, speed);
      cfsetospeed(&t, speed);
      // An input rate of its own, left by a termios2 rate, would otherwise
      // stay: no input rate in the flags makes it follow the output rate.
      t.c_cflag &= ~CIBAUD;
    }
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
      case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
      case EVENPARITY: t.c_cflag |= PARENB; break;
      case MARKPARITY: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
      case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
      default: break;
    }
    if (dcb.StopBits == TWOSTOPBITS) t.c_cflag |= CSTOPB;  // 1.5 has no termios form
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | INPCK);
    if (dcb.fOutX) t.c_iflag |= IXON;
    if (dcb.fInX) t.c_iflag |= IXOFF;
    if (dcb.fParity) t.c_iflag |= INPCK;
    if (tcsetattr(fd_, TCSANOW, &t) != 0) return kernel::Fail(kernel::ErrnoToWin32(errno), FALSE);
    // Any other rate goes through termios2; a driver that cannot make it
    // refuses, and so does the call.
    if (!standard && !SetArbitraryRate(fd_, dcb.BaudRate)) return kernel::Fail(ERROR_INVALID_PARAMETER, FALSE);
    return TRUE;
  }

  void PurgeInput() override {
    if (isTty_) tcflush(fd_, TCIFLUSH);
  }
  void PurgeOutput() override {
    if (isTty_) tcflush(fd_, TCOFLUSH);
  }

  bool SampleLineErrors(DWORD* errors) override {
    serial_icounter_struct now{};
    if (!isTty_ || ioctl(fd_, TIOCGICOUNT, &now) != 0) return false;
    DWORD e = 0;
    if (haveBase_) {
      if (now.frame != base_.frame) e |= CE_FRAME;
      if (now.overrun != base_.overrun) e |= CE_OVERRUN;
      if (now.parity != base_.parity) e |= CE_RXPARITY;
      if (now.brk != base_.brk) e |= CE_BREAK;
      if (now.buf_overrun != base_.buf_overrun) e |= CE_RXOVER;
    }
    base_ = now;
    haveBase_ = true;
    *errors = e;
    return true;
  }

  DWORD InQueue() override {
    int n = 0;
    return ioctl(fd_, FIONREAD, &n) == 0 && n > 0 ? static_cast<DWORD>(n) : 0;
  }
  DWORD OutQueue() override {
    int n = 0;
    return ioctl(fd_, TIOCOUTQ, &n) == 0 && n > 0 ? static_cast<DWORD>(n) : 0;
  }

  std::string SettingsNotHeld(const DCB& kept) override {
    DCB held;
    if (!isTty_ || !ReadState(&held)) return "";
    return DescribeSettingsNotHeld(held, ReadInputRate(fd_), kept);
  }

 private:
  // Binary, no echo, no line editing, no output processing; rate, framing and
  // flow control stay as they were. VMIN 1 so that a non-blocking read tells
  // "nothing yet" (EAGAIN) apart from "hung up" (0).
  void MakeRaw() {
    termios t;
    if (tcgetattr(fd_, &t) != 0) return;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IMAXBEL);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd_, TCSANOW, &t);
  }

  int fd_;
  int blockingFd_;
  bool isTty_;
  SavedLine found_;  // the settings at open, given back at close
  bool haveBase_ = false;
  serial_icounter_struct base_{};
};

}  // namespace

// A serial port is exclusive, as on Windows. The advisory lock is what other
// instances of this program (and tools that lock the same way) honour, root
// included; TIOCEXCL makes the kernel refuse further opens by anyone else
// who is not privileged.
bool ClaimTerminal(int fd, DWORD* error) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : kernel::ErrnoToWin32(errno);
    return false;
  }
  ioctl(fd, TIOCEXCL);
  return true;
}

// The terminal behind `fd` opened a second time, as a file description of
// its own without O_NONBLOCK (the flag belongs to the description, and `fd`
// must stay non-blocking for everything else); -1 when it cannot be. Opened
// non-blocking so that the open does not wait for carrier, then switched.
int OpenBlockingTwin(int fd) {
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const int twin = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (twin < 0) return -1;
  const int flags = fcntl(twin, F_GETFL);
  if (flags < 0 || fcntl(twin, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(twin);
    return -1;
  }
  return twin;
}

std::unique_ptr<Backend> MakeTtyBackend(int fd, DWORD* error) {
  if (!isatty(fd)) return std::make_unique<TtyBackend>(fd, -1);
  // Before TIOCEXCL, which refuses every later open.
  const int twin = OpenBlockingTwin(fd);
  if (!ClaimTerminal(fd, error)) {
    if (twin >= 0) ::close(twin);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<TtyBackend>(fd, twin);
}

}  // namespace vx::comm
