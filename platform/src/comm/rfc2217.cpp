// rfc2217://host:port: Telnet with the COM-PORT option. Data bytes travel with
// 255 doubled; the line settings go to the server as commands, and its
// line-state notifications become the line errors WaitCommEvent reports.
#include "net_socket.h"
#include "port_name.h"
#include "socket_backend.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <vector>

namespace vx::comm {
namespace {

enum : unsigned char {
  kSe = 240, kSb = 250, kWill = 251, kWont = 252, kDo = 253, kDont = 254, kIac = 255,
  kOptBinary = 0, kOptSuppressGoAhead = 3, kOptComPort = 44,
};

// COM-PORT commands, client to server; the server answers with code + 100.
enum : unsigned char {
  kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4, kSetControl = 5,
  kNotifyLineState = 6, kSetLineStateMask = 10, kPurgeData = 12, kServerOffset = 100,
};

constexpr unsigned char kLineStateErrors = 0x02 | 0x04 | 0x08 | 0x10;  // overrun, parity, framing, break
constexpr int kControlSendMs = 2000;
constexpr int kPurgeSendMs = 300;
// How long to wait for the server's answers about its line at connect: they
// usually take a millisecond; a server that never answers costs this once.
constexpr int kAnswerWaitMs = 300;

DWORD CommErrorsOf(unsigned char lineState) {
  DWORD e = 0;
  if (lineState & 0x02) e |= CE_OVERRUN;
  if (lineState & 0x04) e |= CE_RXPARITY;
  if (lineState & 0x08) e |= CE_FRAME;
  if (lineState & 0x10) e |= CE_BREAK;
  return e;
}

class Rfc2217Backend final : public SocketBackend {
 public:
  using SocketBackend::SocketBackend;

  // Offers and asks for the options, asks the server for its line settings
  // and waits briefly for the answers, so that the DCB starts as the server's.
  bool Negotiate(DWORD* error) {
    const unsigned char hello[] = {kIac, kWill, kOptBinary, kIac, kDo, kOptBinary, kIac, kWill, kOptSuppressGoAhead,
                                   kIac, kDo, kOptSuppressGoAhead, kIac, kWill, kOptComPort};
    if (!SendControl(hello, sizeof hello)) return Failed(error);
    const unsigned char noValue[] = {0};
    const unsigned char noRate[] = {0, 0, 0, 0};
    const unsigned char errorsOnly[] = {kLineStateErrors};
    if (!SendCommand(kSetBaudRate, noRate, 4) || !SendCommand(kSetDataSize, noValue, 1) ||
        !SendCommand(kSetParity, noValue, 1) || !SendCommand(kSetStopSize, noValue, 1) ||
        !SendCommand(kSetLineStateMask, errorsOnly, 1))
      return Failed(error);
    if (!AwaitAnswers(kAllAnswers, error)) return false;
    // What came back was this side's own negotiation, and no server agreed
    // to the option: a raw port whose device echoes. Its line settings
    // would never be applied, and every 0xFF would reach it doubled.
    if (ownCommandsCameBack_ && !comPortAgreed_) {
      *error = ERROR_NOT_SUPPORTED;
      return false;
    }
    std::lock_guard lock(stateLock_);
    atServer_ = dcb_;
    return true;
  }

  // A server answers each setting with the value it took: one that took
  // another (a rate its line cannot make, a fixed framing) has refused it.
  // Answers that do not come within the wait are taken as agreement, as a
  // server need not answer at all. A setting the name asks for that equals
  // what this side assumed, because the server never said what it holds, was
  // not sent as a change: it goes now.
  bool ConfirmState(const DCB& asked, const LineQuery& query) override {
    unsigned named = 0;
    if (query.hasBaud) named |= 1u << kSetBaudRate;
    if (query.hasFormat) named |= 1u << kSetDataSize | 1u << kSetParity | 1u << kSetStopSize;
    if (query.hasFlow) named |= 1u << kSetControl;
    unsigned unsent;
    {
      std::lock_guard lock(stateLock_);
      unsent = named & ~sentSettings_ & ~reported_;
    }
    for (unsigned char command = kSetBaudRate; command <= kSetControl; ++command)
      if (unsent & (1u << command)) SendSetting(command, asked);
    {
      std::lock_guard lock(stateLock_);
      sentSettings_ |= unsent;
    }
    DWORD ignored;
    if (!AwaitAnswers(sentSettings_, &ignored)) return true;  // a failed line fails its first I/O
    std::lock_guard lock(stateLock_);
    // Answered: the setting was sent and every answer owed for it is in, so
    // the settings hold the server's word on it, not on an earlier question.
    const auto answered = [this](unsigned char command) {
      return (sentSettings_ & (1u << command)) && owedAnswers_[command] == 0;
    };
    return !(answered(kSetBaudRate) && !RatesAgree(dcb_.BaudRate, asked.BaudRate)) &&
           !(answered(kSetDataSize) && dcb_.ByteSize != asked.ByteSize) &&
           !(answered(kSetParity) && dcb_.Parity != asked.Parity) &&
           !(answered(kSetStopSize) && dcb_.StopBits != asked.StopBits) &&
           !(answered(kSetControl) && FlowOf(dcb_) != FlowOf(asked));
  }

  long ReadSome(void* buffer, std::size_t size, DWORD* error) override {
    if (!early_.empty()) {
      std::size_t n = std::min(size, early_.size());
      std::memcpy(buffer, early_.data(), n);
      early_.erase(early_.begin(), early_.begin() + static_cast<long>(n));
      return static_cast<long>(n);
    }
    return Decode(static_cast<char*>(buffer), size, error);
  }

  long WriteSome(const void* buffer, std::size_t size, DWORD* error) override {
    std::lock_guard lock(sendLock_);
    const auto* in = static_cast<const unsigned char*>(buffer);
    std::size_t take = std::min<std::size_t>(size, kChunk);
    encoded_.clear();
    for (std::size_t i = 0; i < take; ++i) {
      encoded_.push_back(static_cast<char>(in[i]));
      if (in[i] == kIac) encoded_.push_back(static_cast<char>(kIac));
    }
    long sent = Transmit(encoded_.data(), encoded_.size(), error);
    if (sent <= 0) return sent;
    // Which user bytes went whole. A send that ends inside a doubled 255 is
    // completed at once: a lone IAC would make the next byte a command.
    std::size_t consumed = 0, at = 0;
    while (at < static_cast<std::size_t>(sent)) {
      std::size_t width = in[consumed] == kIac ? 2 : 1;
      if (at + width > static_cast<std::size_t>(sent)) {
        const char rest = static_cast<char>(kIac);
        if (!SendAll(fd_, &rest, 1, kControlSendMs)) {
          *error = ERROR_DEVICE_NOT_CONNECTED;
          return -1;
        }
      }
      at += width;
      ++consumed;
    }
    return static_cast<long>(consumed);
  }

  BOOL WriteState(const DCB& dcb) override {
    DCB before;
    {
      std::lock_guard lock(stateLock_);
      before = atServer_;
      dcb_ = dcb;
      atServer_ = dcb;
    }
    // Only what changed goes to the server, so that opening a port does not
    // override what the server was configured with.
    bool ok = true;
    unsigned sent = 0;
    for (unsigned char command = kSetBaudRate; command <= kSetControl; ++command) {
      if (!Differs(command, dcb, before)) continue;
      ok &= SendSetting(command, dcb);
      sent |= 1u << command;
    }
    {
      std::lock_guard lock(stateLock_);
      sentSettings_ = sent;
    }
    return ok ? TRUE : kernel::Fail(ERROR_DEVICE_NOT_CONNECTED, FALSE);
  }

  // A purge goes behind the data already in the socket: when the server has
  // stopped reading (its line is slow, or it is gone) there is no room for
  // it, and waiting long would only hold up the close that usually follows.
  void PurgeInput() override {
    SendValue(kPurgeData, 1, kPurgeSendMs);  // the server's buffer of what the line received
    early_.clear();
    char sink[4096];
    DWORD ignored;
    while (Decode(sink, sizeof sink, &ignored) > 0) {
    }
  }
  void PurgeOutput() override { SendValue(kPurgeData, 2, kPurgeSendMs); }

  bool SampleLineErrors(DWORD* errors) override {
    *errors = lineErrors_.exchange(0);
    return true;
  }

 private:
  static constexpr std::size_t kChunk = 8192;
  static constexpr unsigned kAllAnswers = 0x1E;  // rate, data size, parity, stop size

  // Flow control as SET-CONTROL says it: 1 none, 2 XON/XOFF, 3 RTS/CTS.
  static unsigned char FlowOf(const DCB& dcb) {
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return 3;
    if (dcb.fOutX || dcb.fInX) return 2;
    return 1;
  }
  // RTS is left as the caller set it (enabled, disabled, toggling) unless it
  // goes to or from steering the flow.
  static void SetFlow(DCB* dcb, unsigned char flow) {
    dcb->fOutxCtsFlow = flow == 3;
    if (flow == 3)
      dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (dcb->fRtsControl == RTS_CONTROL_HANDSHAKE)
      dcb->fRtsControl = RTS_CONTROL_ENABLE;
    dcb->fOutX = dcb->fInX = flow == 2;
  }

  // Waits up to kAnswerWaitMs for the answers in `wanted` (bits by command),
  // keeping the data that comes meanwhile for the first read. Only before
  // the port starts, when no other thread reads. False when the line failed.
  bool AwaitAnswers(unsigned wanted, DWORD* error) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
    std::vector<char> sink(4096);
    for (;;) {
      {
        std::lock_guard lock(stateLock_);
        bool all = true;
        for (unsigned char command = kSetBaudRate; command <= kSetControl; ++command)
          if ((wanted & (1u << command)) && owedAnswers_[command]) all = false;
        if (all) return true;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return true;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      const long n = Decode(sink.data(), sink.size(), error);
      if (n < 0) return false;
      early_.insert(early_.end(), sink.begin(), sink.begin() + n);
    }
  }

  bool Failed(DWORD* error) {
    *error = ERROR_DEVICE_NOT_CONNECTED;
    return false;
  }

  bool SendControl(const unsigned char* bytes, std::size_t size, int waitMs = kControlSendMs) {
    std::lock_guard lock(sendLock_);
    return SendAll(fd_, bytes, size, waitMs);
  }

  // An answer came for `command`; stateLock_ held.
  void Answered(unsigned char command) {
    if (owedAnswers_[command]) --owedAnswers_[command];
    reported_ |= 1u << command;
  }

  static unsigned char StopSizeOf(const DCB& dcb) {
    return dcb.StopBits == TWOSTOPBITS ? 2 : dcb.StopBits == ONE5STOPBITS ? 3 : 1;
  }
  // Whether two DCBs differ in the setting of `command` (rate, data size,
  // parity, stop size or flow control).
  static bool Differs(unsigned char command, const DCB& a, const DCB& b) {
    switch (command) {
      case kSetBaudRate: return a.BaudRate != b.BaudRate;
      case kSetDataSize: return a.ByteSize != b.ByteSize;
      case kSetParity: return a.Parity != b.Parity;
      case kSetStopSize: return a.StopBits != b.StopBits;
      case kSetControl: return FlowOf(a) != FlowOf(b);
    }
    return false;
  }
  // Sends `dcb`'s setting of `command` to the server.
  bool SendSetting(unsigned char command, const DCB& dcb) {
    switch (command) {
      case kSetBaudRate: {
        const unsigned char rate[] = {static_cast<unsigned char>(dcb.BaudRate >> 24),
                                      static_cast<unsigned char>(dcb.BaudRate >> 16),
                                      static_cast<unsigned char>(dcb.BaudRate >> 8),
                                      static_cast<unsigned char>(dcb.BaudRate)};
        return SendCommand(kSetBaudRate, rate, 4);
      }
      case kSetDataSize: return SendValue(kSetDataSize, dcb.ByteSize);
      case kSetParity: return SendValue(kSetParity, static_cast<unsigned char>(dcb.Parity + 1));
      case kSetStopSize: return SendValue(kSetStopSize, StopSizeOf(dcb));
      case kSetControl: return SendValue(kSetControl, FlowOf(dcb));
    }
    return true;
  }

  bool SendCommand(unsigned char command, const unsigned char* value, std::size_t size,
                   int waitMs = kControlSendMs) {
    std::vector<unsigned char> c = {kIac, kSb, kOptComPort, command};
    for (std::size_t i = 0; i < size; ++i) {
      c.push_back(value[i]);
      if (value[i] == kIac) c.push_back(kIac);
    }
    c.push_back(kIac);
    c.push_back(kSe);
    if (!SendControl(c.data(), c.size(), waitMs)) return false;
    if (command >= kSetBaudRate && command <= kSetControl) {
      std::lock_guard lock(stateLock_);
      if (owedAnswers_[command] < 255) ++owedAnswers_[command];
    }
    return true;
  }
  bool SendValue(unsigned char command, unsigned char value, int waitMs = kControlSendMs) {
    return SendCommand(command, &value, 1, waitMs);
  }

  // Reads what the socket holds and splits it: data into `out` (never more
  // than `size` bytes, since the stream is never shorter than its data), the
  // rest to the option and command handlers. Keeps its place across calls.
  long Decode(char* out, std::size_t size, DWORD* error) {
    raw_.resize(size);
    long got = Receive(raw_.data(), size, error);
    if (got <= 0) return got;
    std::size_t n = 0;
    for (long i = 0; i < got; ++i) {
      auto b = static_cast<unsigned char>(raw_[i]);
      switch (state_) {
        case State::Data:
          if (b == kIac) state_ = State::Iac;
          else out[n++] = static_cast<char>(b);
          break;
        case State::Iac:
          if (b == kIac) {
            out[n++] = static_cast<char>(kIac);
            state_ = State::Data;
          } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
            verb_ = b;
            state_ = State::Option;
          } else if (b == kSb) {
            sub_.clear();
            state_ = State::Sub;
          } else {
            state_ = State::Data;  // NOP, GA, and other two-byte commands
          }
          break;
        case State::Option:
          OnOption(verb_, b);
          state_ = State::Data;
          break;
        case State::Sub:
          if (b == kIac) state_ = State::SubIac;
          else if (sub_.size() < 64) sub_.push_back(b);
          break;
        case State::SubIac:
          if (b == kSe) {
            OnSubnegotiation();
            state_ = State::Data;
          } else {
            if (b == kIac && sub_.size() < 64) sub_.push_back(b);
            state_ = State::Sub;
          }
          break;
      }
    }
    return static_cast<long>(n);
  }

  // Requests for the options we asked for are their acknowledgements; any
  // other is refused once, and a refusal is never answered (no loops).
  void OnOption(unsigned char verb, unsigned char option) {
    if (verb == kDo && option == kOptComPort) comPortAgreed_ = true;
    const bool ours = option == kOptBinary || option == kOptSuppressGoAhead || option == kOptComPort;
    if (ours || verb == kWont || verb == kDont) return;
    bool& refused = verb == kDo ? refusedDo_[option] : refusedWill_[option];
    if (refused) return;
    refused = true;
    const unsigned char answer[] = {kIac, verb == kDo ? kWont : kDont, option};
    SendControl(answer, sizeof answer);
  }

  void OnSubnegotiation() {
    if (sub_.size() < 2 || sub_[0] != kOptComPort) return;
    const unsigned char code = sub_[1];
    const unsigned char* value = sub_.data() + 2;
    const std::size_t length = sub_.size() - 2;
    if (code < kServerOffset) ownCommandsCameBack_ = true;  // a server only answers and notifies
    if (code == kServerOffset + kNotifyLineState && length >= 1) {
      if (DWORD e = CommErrorsOf(value[0])) lineErrors_ |= e;
      return;
    }
    std::lock_guard lock(stateLock_);
    if (code == kServerOffset + kSetBaudRate && length >= 4) {
      DWORD rate = DWORD(value[0]) << 24 | DWORD(value[1]) << 16 | DWORD(value[2]) << 8 | value[3];
      if (rate) dcb_.BaudRate = rate;
      Answered(kSetBaudRate);
    } else if (code == kServerOffset + kSetDataSize && length >= 1) {
      if (value[0] >= 5 && value[0] <= 8) dcb_.ByteSize = value[0];
      Answered(kSetDataSize);
    } else if (code == kServerOffset + kSetParity && length >= 1) {
      if (value[0] >= 1 && value[0] <= 5) dcb_.Parity = static_cast<BYTE>(value[0] - 1);
      dcb_.fParity = dcb_.Parity != NOPARITY;
      Answered(kSetParity);
    } else if (code == kServerOffset + kSetStopSize && length >= 1) {
      if (value[0] == 1) dcb_.StopBits = ONESTOPBIT;
      if (value[0] == 2) dcb_.StopBits = TWOSTOPBITS;
      if (value[0] == 3) dcb_.StopBits = ONE5STOPBITS;
      Answered(kSetStopSize);
    } else if (code == kServerOffset + kSetControl && length >= 1) {
      // Only flow control is ever asked for; its answer is the flow the
      // server's line now has.
      if (value[0] >= 1 && value[0] <= 3) SetFlow(&dcb_, value[0]);
      Answered(kSetControl);
    }
  }

  enum class State { Data, Iac, Option, Sub, SubIac };
  // Read side: touched by the thread reading the port (and by Negotiate before it).
  State state_ = State::Data;
  unsigned char verb_ = 0;
  std::vector<unsigned char> sub_;
  std::vector<char> raw_;
  std::vector<char> early_;
  bool refusedDo_[256] = {};
  bool refusedWill_[256] = {};
  // Answers the server owes for the settings questions and commands sent,
  // by command; stateLock_. They come in order, so the last is to the last.
  unsigned char owedAnswers_[kSetControl + 1] = {};
  unsigned reported_ = 0;  // the settings the server has said, by command bit; stateLock_
  unsigned sentSettings_ = 0;  // the settings the last WriteState sent, by command bit; stateLock_
  bool comPortAgreed_ = false;  // the server said DO to the COM-PORT option
  bool ownCommandsCameBack_ = false;  // client commands arrived, as a device that echoes sends them
  // Write side: every send goes through sendLock_, so commands never split data.
  std::mutex sendLock_;
  std::vector<char> encoded_;
  DCB atServer_{};  // the settings the server was last told or reported; guarded by stateLock_
  std::atomic<DWORD> lineErrors_{0};
};

}  // namespace

std::unique_ptr<Backend> MakeRfc2217Backend(int fd, DWORD* error) {
  auto backend = std::make_unique<Rfc2217Backend>(fd);
  if (!backend->Negotiate(error)) return nullptr;
  return backend;
}

}  // namespace vx::comm
