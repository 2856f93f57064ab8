// Reads the terminal back through termios2, the one form that carries the
// rates the kernel holds in both directions; kept apart, as tty_rate.cpp is,
// since it cannot be included with the C library's <termios.h>.
#include "tty_settings_held.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <vector>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace vx::comm {
namespace {

// One setting in words, and whether the words take "were".
struct Words {
  std::string text;
  bool plural = false;
};

Words DataBits(unsigned bits) { return {std::to_string(bits) + " data bits", true}; }
Words StopBits(bool two) { return two ? Words{"2 stop bits", true} : Words{"1 stop bit", false}; }
Words Baud(DWORD rate, const char* side = "") { return {side + std::to_string(rate) + " baud", false}; }
Words Parity(BYTE parity) {
  static const char* const names[] = {"no parity", "odd parity", "even parity", "mark parity", "space parity"};
  return {parity <= SPACEPARITY ? names[parity] : "unknown parity", false};
}
Words RtsCts(bool on) { return {on ? "RTS/CTS flow control" : "no RTS/CTS flow control", false}; }
Words XonXoff(bool out, bool in) {
  if (out && in) return {"XON/XOFF flow control", false};
  if (out) return {"XON/XOFF flow control on output only", false};
  if (in) return {"XON/XOFF flow control on input only", false};
  return {"no XON/XOFF flow control", false};
}

bool Near(DWORD held, DWORD given) {
  const double ratio = given ? static_cast<double>(held) / given : 1;
  return ratio >= 0.97 && ratio <= 1.03;
}

std::string Join(const std::vector<Words>& words) {
  std::string text;
  for (std::size_t n = 0; n < words.size(); ++n)
    text += (n == 0 ? "" : n + 1 == words.size() ? " and " : ", ") + words[n].text;
  return text;
}

}  // namespace

std::string TtySettingsNotHeld(int fd, const DCB& given) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return "";
  std::vector<Words> held, set;
  auto differ = [&](Words h, Words s) {
    held.push_back(std::move(h));
    set.push_back(std::move(s));
  };

  const tcflag_t size = t.c_cflag & CSIZE;
  const unsigned bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
  if (bits != given.ByteSize) differ(DataBits(bits), DataBits(given.ByteSize));
  const BYTE parity = !(t.c_cflag & PARENB) ? NOPARITY
                      : (t.c_cflag & CMSPAR) ? ((t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY)
                      : (t.c_cflag & PARODD) ? ODDPARITY
                                             : EVENPARITY;
  if (parity != given.Parity) differ(Parity(parity), Parity(given.Parity));
  // 1.5 stop bits have no termios form of their own: not judged.
  const bool twoStops = t.c_cflag & CSTOPB;
  if (given.StopBits != ONE5STOPBITS && twoStops != (given.StopBits == TWOSTOPBITS))
    differ(StopBits(twoStops), StopBits(!twoStops));

  const DWORD out = t.c_ospeed, in = t.c_ispeed ? t.c_ispeed : t.c_ospeed;
  if (!Near(out, given.BaudRate) && out == in)
    differ(Baud(out), Baud(given.BaudRate));
  else {
    if (!Near(out, given.BaudRate)) differ(Baud(out, "output at "), Baud(given.BaudRate));
    if (!Near(in, given.BaudRate)) differ(Baud(in, "input at "), Baud(given.BaudRate));
  }

  const bool rtscts = t.c_cflag & CRTSCTS;
  if (rtscts != (given.fOutxCtsFlow || given.fRtsControl == RTS_CONTROL_HANDSHAKE))
    differ(RtsCts(rtscts), RtsCts(!rtscts));
  const bool xon = t.c_iflag & IXON, xoff = t.c_iflag & IXOFF;
  if (xon != bool(given.fOutX) || xoff != bool(given.fInX)) differ(XonXoff(xon, xoff), XonXoff(given.fOutX, given.fInX));

  if (held.empty()) return "";
  const bool were = set.size() > 1 || set.front().plural;
  return Join(held) + " where " + Join(set) + (were ? " were set" : " was set");
}

}  // namespace vx::comm
