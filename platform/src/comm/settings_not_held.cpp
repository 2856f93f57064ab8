// The settings a line holds against those it was given, in words.
#include "settings_not_held.h"

#include "port.h"

#include <vector>

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

std::string Join(const std::vector<Words>& words) {
  std::string text;
  for (std::size_t n = 0; n < words.size(); ++n)
    text += (n == 0 ? "" : n + 1 == words.size() ? " and " : ", ") + words[n].text;
  return text;
}

}  // namespace

std::string DescribeSettingsNotHeld(const DCB& held, DWORD heldInputRate, const DCB& given) {
  std::vector<Words> holds, set;
  auto differ = [&](Words h, Words s) {
    holds.push_back(std::move(h));
    set.push_back(std::move(s));
  };

  if (held.ByteSize != given.ByteSize) differ(DataBits(held.ByteSize), DataBits(given.ByteSize));
  if (held.Parity != given.Parity) differ(Parity(held.Parity), Parity(given.Parity));
  // 1.5 stop bits have no termios form of their own: not judged.
  const bool twoStops = held.StopBits == TWOSTOPBITS;
  if (given.StopBits != ONE5STOPBITS && twoStops != (given.StopBits == TWOSTOPBITS))
    differ(StopBits(twoStops), StopBits(!twoStops));

  const DWORD out = held.BaudRate, in = heldInputRate ? heldInputRate : held.BaudRate;
  if (!RatesAgree(out, given.BaudRate) && out == in) {
    differ(Baud(out), Baud(given.BaudRate));
  } else {
    if (!RatesAgree(out, given.BaudRate)) differ(Baud(out, "output at "), Baud(given.BaudRate));
    if (!RatesAgree(in, given.BaudRate)) differ(Baud(in, "input at "), Baud(given.BaudRate));
  }

  const auto rtscts = [](const DCB& d) { return d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE; };
  if (rtscts(held) != rtscts(given)) differ(RtsCts(rtscts(held)), RtsCts(rtscts(given)));
  if (bool(held.fOutX) != bool(given.fOutX) || bool(held.fInX) != bool(given.fInX))
    differ(XonXoff(held.fOutX, held.fInX), XonXoff(given.fOutX, given.fInX));

  if (holds.empty()) return "";
  const bool were = set.size() > 1 || set.front().plural;
  return Join(holds) + " where " + Join(set) + (were ? " were set" : " was set");
}

}  // namespace vx::comm
