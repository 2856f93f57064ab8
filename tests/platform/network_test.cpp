// Serial ports over the network: tcp:// and rfc2217:// through a real ser2net
// fronting a pseudo-terminal echo peer, and the Telnet side of rfc2217://
// against a small server of the test's own that says exactly what it is told.
#include "support/byte_patterns.h"
#include "support/port_fixture.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vx::test {
namespace {

// A port on 127.0.0.1 nothing listens on right now.
int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

// Whether something listens on 127.0.0.1:`port`, read from the kernel's
// table rather than by connecting: a probe connection would make ser2net open
// (and be slow to let go of) the device behind it.
bool Listening(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  char want[32];
  std::snprintf(want, sizeof want, "0100007F:%04X", port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == want && state == "0A") return true;  // TCP_LISTEN
  }
  return false;
}

HANDLE Open(const std::string& name) {
  return CreateFileA(name.c_str(), GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// ser2net on 127.0.0.1 with a raw and a Telnet (RFC 2217) accepter, both in
// front of one echo peer's pseudo-terminal. Started and stopped by its pid.
class Ser2net : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/sbin/ser2net", X_OK) != 0) GTEST_SKIP() << "ser2net is not installed (scripts/install-deps.sh)";
    std::string error;
    ASSERT_TRUE(peer.Start(&error)) << error;
    raw = FreePort();
    telnet = FreePort();
    config = "/tmp/vx-ser2net-" + std::to_string(getpid()) + ".yaml";
    std::ofstream out(config);
    for (auto [port, accepter] : {std::pair{raw, std::string("tcp")}, std::pair{telnet, std::string("telnet(rfc2217),tcp")}})
      out << "connection: &c" << port << "\n  accepter: " << accepter << ",127.0.0.1," << port
          << "\n  connector: serialdev," << peer.DevicePath() << ",115200n81,local\n  options:\n    kickolduser: true\n";
    out.close();
    pid = fork();
    if (pid == 0) {
      int null = ::open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execl("/usr/sbin/ser2net", "ser2net", "-n", "-d", "-c", config.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 100 && !(Listening(raw) && Listening(telnet)); ++i) usleep(50000);
    ASSERT_TRUE(Listening(raw) && Listening(telnet)) << "ser2net did not start";
  }
  void TearDown() override {
    StopServer();
    unlink(config.c_str());
  }
  void StopServer() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
      pid = -1;
    }
  }
  // ser2net closes a new connection at once while it still holds the device
  // for the one before; a client sees its port hang up. Try again briefly.
  HANDLE OpenServed(const std::string& name) {
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 20 && h == INVALID_HANDLE_VALUE; ++i) {
      h = Open(name);
      if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_DEVICE_NOT_CONNECTED) break;
      if (h == INVALID_HANDLE_VALUE) usleep(50000);
    }
    return h;
  }
  std::string Name(int port, const char* scheme, const char* query = "") {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + query;
  }

  tools::EchoPeer peer;
  int raw = 0, telnet = 0;
  pid_t pid = -1;
  std::string config;
};

// Writes `data` and reads back as many bytes, with the link's timeouts.
std::string RoundTrip(HANDLE port, const std::string& data) {
  COMMTIMEOUTS t{20, 0, 0, 0, 0};
  SetCommTimeouts(port, &t);
  std::string back;
  std::thread writer([&] {
    Overlapped ov;
    for (std::size_t at = 0; at < data.size(); at += 4096) {
      DWORD n = 0, size = DWORD(std::min<std::size_t>(4096, data.size() - at));
      if (!WriteFile(port, data.data() + at, size, &n, &ov)) GetOverlappedResult(port, &ov, &n, TRUE);
    }
  });
  Overlapped ov;
  std::vector<char> buf(2048);
  while (back.size() < data.size()) {
    DWORD n = 0;
    if (!ReadFile(port, buf.data(), DWORD(buf.size()), &n, &ov)) {
      if (GetLastError() != ERROR_IO_PENDING) break;
      if (WaitForSingleObject(ov.hEvent, 5000) != WAIT_OBJECT_0) {
        PurgeComm(port, PURGE_RXABORT);
        GetOverlappedResult(port, &ov, &n, TRUE);
        break;
      }
      if (!GetOverlappedResult(port, &ov, &n, TRUE)) break;
    }
    back.append(buf.data(), n);
  }
  writer.join();
  return back;
}

TEST_F(Ser2net, EveryByteValueComesBackThroughRawAndTelnet) {
  const std::string data = EveryByteValue(256 * 1024);  // a thousand 255s among them, escaped by Telnet
  for (auto [port, scheme] : {std::pair{raw, "tcp"}, std::pair{telnet, "rfc2217"}}) {
    HANDLE h = OpenServed(Name(port, scheme));
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << scheme << " " << GetLastError();
    std::string back = RoundTrip(h, data);
    EXPECT_EQ(back.size(), data.size()) << scheme << " last error " << GetLastError();
    EXPECT_TRUE(back == data) << scheme;
    CloseHandle(h);
  }
}

TEST_F(Ser2net, SettingsSentOverTelnetReachTheLine) {
  HANDLE h = OpenServed(Name(telnet, "rfc2217", "?baud=57600&format=8N2"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  EXPECT_EQ(dcb.BaudRate, 57600u);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  int far = ::open(peer.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(far, 0);
  termios t{};
  bool arrived = false;
  for (int i = 0; i < 50 && !arrived; ++i) {
    usleep(20000);
    arrived = tcgetattr(far, &t) == 0 && cfgetospeed(&t) == B57600;
  }
  EXPECT_TRUE(arrived) << "the pty behind ser2net never took the rate";
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  dcb.BaudRate = 19200;  // and later changes too
  ASSERT_TRUE(SetCommState(h, &dcb));
  arrived = false;
  for (int i = 0; i < 50 && !arrived; ++i) {
    usleep(20000);
    arrived = tcgetattr(far, &t) == 0 && cfgetospeed(&t) == B19200;
  }
  EXPECT_TRUE(arrived);
  ::close(far);
  CloseHandle(h);
}

TEST_F(Ser2net, TheServerGoingAwayIsAHangUp) {
  for (auto [port, scheme] : {std::pair{raw, "tcp"}, std::pair{telnet, "rfc2217"}}) {
    HANDLE h = OpenServed(Name(port, scheme));
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << scheme;
    COMMTIMEOUTS t{20, 0, 0, 0, 0};
    SetCommTimeouts(h, &t);
    Overlapped ov;
    char buf[64];
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    if (std::string(scheme) == "rfc2217") StopServer();
    else {
      // Only the raw connection goes: ser2net kicks an old user off for a new one.
      HANDLE other = OpenServed(Name(port, scheme));
      ASSERT_NE(other, INVALID_HANDLE_VALUE);
      CloseHandle(other);
    }
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0) << scheme;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE)) << scheme;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED)) << scheme;
    CloseHandle(h);
  }
}

TEST(NetworkPorts, NamesThatReachNothingFailToOpen) {
  SetLastError(0);
  EXPECT_EQ(Open("tcp://127.0.0.1:" + std::to_string(FreePort())), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_CONNECTION_REFUSED));
  for (const char* name : {"tcp://nohost", "rfc2217://127.0.0.1:99999", "tcp://:80", "tcp://[::1:80"}) {
    EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE) << name;
    EXPECT_NE(GetLastError(), DWORD(0)) << name;
  }
}

// A socket listening on 127.0.0.1 at a port of the kernel's choice, put in
// *port; `receiveBuffer`, when given, is what its connections get.
int ListenOnLoopback(int* port, int receiveBuffer = 0) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer) setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener, 1);
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return listener;
}

// A server whose line is slower than the network: it takes 2 KiB every 10 ms.
// What the port calls written beyond what the server took sits in buffers on
// the way; a socket left to grow its own would hold most of a second's worth
// and call it written. As on a UART, the writer must be held back near the line.
TEST(NetworkPorts, ASlowServerHoldsTheWriterBackNearTheLine) {
  int port = 0;
  const int listener = ListenOnLoopback(&port, 8192);
  std::atomic<std::size_t> taken{0};
  std::atomic<bool> stop{false};
  std::thread server([&] {
    int conn = accept(listener, nullptr, nullptr);
    char buf[2048];
    while (!stop.load()) {
      ssize_t n = recv(conn, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) taken += static_cast<std::size_t>(n);
      usleep(10000);
    }
    close(conn);
  });
  HANDLE h = Open("tcp://127.0.0.1:" + std::to_string(port));
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const std::string block(2048, 'w');
  std::size_t written = 0, mostAhead = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < until) {
    DWORD n = 0;
    if (!WriteFile(h, block.data(), 2048, &n, &ov)) {
      ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
      if (WaitForSingleObject(ov.hEvent, 100) != WAIT_OBJECT_0) break;  // held back for good: fine too
      ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
    }
    written += n;
    mostAhead = std::max(mostAhead, written - std::min(written, taken.load()));
  }
  EXPECT_GT(written, 32u * 1024) << "the slow server took nearly nothing";
  EXPECT_LT(mostAhead, 96u * 1024) << "bytes called written that were nowhere near the line";
  CloseHandle(h);
  CloseHandle(ov.hEvent);
  stop = true;
  server.join();
  close(listener);
}

// A Telnet server of the test's own on one accepted connection: it records
// every byte it receives and sends what the test gives it, and what
// `answer` makes of all received so far each time more comes.
class TelnetServer {
 public:
  using Answer = std::function<std::string(const std::string& received)>;
  explicit TelnetServer(Answer answer = nullptr) : answer_(std::move(answer)) {
    listener_ = ListenOnLoopback(&port_);
    thread_ = std::thread([this] {
      conn_ = accept(listener_, nullptr, nullptr);
      char buf[4096];
      for (;;) {
        ssize_t n = recv(conn_, buf, sizeof buf, 0);
        if (n <= 0) break;
        std::string reply;
        {
          std::lock_guard lock(mutex_);
          received_.append(buf, static_cast<std::size_t>(n));
          if (answer_) reply = answer_(received_);
        }
        if (!reply.empty()) Send(reply);
      }
    });
  }
  ~TelnetServer() {
    shutdown(conn_, SHUT_RDWR);
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(conn_);
    close(listener_);
  }
  std::string Name() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
  void Send(const std::string& bytes) { send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  std::string Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  bool Saw(const std::string& bytes) {
    for (int i = 0; i < 100; ++i) {
      if (Received().find(bytes) != std::string::npos) return true;
      usleep(10000);
    }
    return false;
  }

 private:
  Answer answer_;
  int listener_ = -1, conn_ = -1, port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::string received_;
};

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s += static_cast<char>(c);
  return s;
}

TEST(Rfc2217, TelnetFramingBothWaysAndLineStateAsLineErrors) {
  TelnetServer server;  // never answers the settings questions: the open waits briefly, then goes on
  HANDLE h = Open(server.Name());
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_TRUE(server.Saw(Bytes({255, 251, 44}))) << "no WILL COM-PORT-OPTION";
  EXPECT_TRUE(server.Saw(Bytes({255, 250, 44, 10, 0x1E, 255, 240}))) << "no line-state mask";

  // Data: 255 doubled on the way out, undoubled on the way in, commands removed.
  std::size_t before = server.Received().size();
  const std::string out = Bytes({1, 255, 2, 255, 255, 3});
  Overlapped ov;
  DWORD n = 0;
  if (!WriteFile(h, out.data(), DWORD(out.size()), &n, &ov)) {
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
  }
  EXPECT_EQ(n, out.size());
  EXPECT_TRUE(server.Saw(Bytes({1, 255, 255, 2, 255, 255, 255, 255, 3})));
  EXPECT_EQ(server.Received().size() - before, 9u);

  ASSERT_TRUE(SetCommMask(h, EV_ERR));
  COMMTIMEOUTS t{20, 0, 0, 0, 0};
  SetCommTimeouts(h, &t);
  DWORD mask = 0;
  Overlapped waitOv;
  ASSERT_FALSE(WaitCommEvent(h, &mask, &waitOv));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  // A request for an option nobody asked for, data with an escaped 255, and
  // a framing-error notification, split across two sends.
  server.Send(Bytes({255, 253, 24, 'a', 255, 255, 'b', 255, 250, 44}));
  usleep(20000);
  server.Send(Bytes({106, 0x08, 255, 240, 'c'}));
  char in[16] = {};
  Overlapped readOv;
  if (!ReadFile(h, in, sizeof in, &n, &readOv)) {
    ASSERT_TRUE(GetOverlappedResult(h, &readOv, &n, TRUE));
  }
  std::string got(in, n);
  if (got.size() < 4) {
    if (!ReadFile(h, in, sizeof in, &n, &readOv)) {
    ASSERT_TRUE(GetOverlappedResult(h, &readOv, &n, TRUE));
  }
    got.append(in, n);
  }
  EXPECT_EQ(got, Bytes({'a', 255, 'b', 'c'}));
  EXPECT_TRUE(server.Saw(Bytes({255, 252, 24}))) << "an unknown option must be refused";
  ASSERT_EQ(WaitForSingleObject(waitOv.hEvent, 2000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(h, &waitOv, &n, TRUE));
  EXPECT_EQ(mask, DWORD(EV_ERR));
  DWORD errors = 0;
  ASSERT_TRUE(ClearCommError(h, &errors, nullptr));
  EXPECT_EQ(errors, DWORD(CE_FRAME));

  ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR));
  EXPECT_TRUE(server.Saw(Bytes({255, 250, 44, 12, 1, 255, 240})));
  EXPECT_TRUE(server.Saw(Bytes({255, 250, 44, 12, 2, 255, 240})));
  CloseHandle(h);
}

// rfc2217:// at a raw port whose device echoes: the client's own Telnet
// comes back, no server ever agrees to the option, and nothing would apply
// the settings.
TEST(Rfc2217, ARawPortWhoseDeviceEchoesIsNotTakenForAServer) {
  std::size_t echoed = 0;
  TelnetServer device([&echoed](const std::string& received) {
    std::string fresh = received.substr(echoed);
    echoed = received.size();
    return fresh;
  });
  EXPECT_EQ(Open(device.Name() + "?baud=9600"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
}

// A server that keeps its line at 115200 8N1 without flow control, whatever
// it is asked, and says so in each answer, as RFC 2217 has it.
std::string FixedLineAnswers(const std::string& received, std::size_t* seen) {
  std::string reply;
  for (std::size_t at = received.find('\xff', *seen); at != std::string::npos && at + 3 < received.size();
       at = received.find('\xff', at + 1)) {
    const auto verb = static_cast<unsigned char>(received[at + 1]);
    if (verb == 251 && static_cast<unsigned char>(received[at + 2]) == 44) reply += Bytes({255, 253, 44});
    if (verb != 250 || static_cast<unsigned char>(received[at + 2]) != 44) continue;
    const std::size_t end = received.find(Bytes({255, 240}), at);
    if (end == std::string::npos) break;
    const int command = static_cast<unsigned char>(received[at + 3]);
    if (command == 1) reply += Bytes({255, 250, 44, 101, 0, 1, 0xC2, 0, 255, 240});  // 115200
    if (command == 2) reply += Bytes({255, 250, 44, 102, 8, 255, 240});
    if (command == 3) reply += Bytes({255, 250, 44, 103, 1, 255, 240});  // none
    if (command == 4) reply += Bytes({255, 250, 44, 104, 1, 255, 240});
    if (command == 5) reply += Bytes({255, 250, 44, 105, 1, 255, 240});  // no flow control
    *seen = at = end + 1;
  }
  return reply;
}

TEST(Rfc2217, SettingsTheServerAnswersOtherwiseFailTheOpen) {
  for (const char* query : {"?baud=9600", "?format=7E1", "?baud=115200&format=8N2", "?flow=rtscts", "?flow=xonxoff"}) {
    std::size_t seen = 0;
    TelnetServer server([&seen](const std::string& received) { return FixedLineAnswers(received, &seen); });
    EXPECT_EQ(Open(server.Name() + query), INVALID_HANDLE_VALUE) << query;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER)) << query;
  }
  std::size_t seen = 0;
  TelnetServer server([&seen](const std::string& received) { return FixedLineAnswers(received, &seen); });
  HANDLE h = Open(server.Name() + "?baud=115200&format=8N1&flow=none");
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(h, &dcb));
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_FALSE(dcb.fOutxCtsFlow || dcb.fOutX);
  EXPECT_TRUE(server.Saw(Bytes({255, 250, 44, 5, 1, 255, 240}))) << "flow=none must be sent and confirmed";
  CloseHandle(h);
}

// A slow server answers the questions asked at connect after the client has
// stopped waiting for them, and only then the setting: its late word on the
// old rate is not its answer to the new one.
TEST(Rfc2217, ALateAnswerToTheFirstQuestionIsNotTakenForARefusal) {
  std::size_t seen = 0;
  std::uint32_t rate = 9600;
  TelnetServer server([&seen, &rate](const std::string& received) {
    std::string reply;
    for (std::size_t at = received.find(Bytes({255, 250, 44, 1}), seen); at != std::string::npos;
         at = received.find(Bytes({255, 250, 44, 1}), at + 1)) {
      if (at + 8 > received.size()) break;
      std::uint32_t asked = 0;
      for (int i = 0; i < 4; ++i) asked = asked << 8 | static_cast<unsigned char>(received[at + 4 + i]);
      if (asked) rate = asked;  // 0 asks; a rate sets
      reply += Bytes({255, 250, 44, 101, int(rate >> 24), int(rate >> 16 & 255), int(rate >> 8 & 255),
                      int(rate & 255), 255, 240});
      seen = at + 8;
    }
    if (!reply.empty()) usleep(400000);  // slower than the client waits
    return reply;
  });
  HANDLE h = Open(server.Name() + "?baud=115200");
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  // 115200 is what this side assumes of a server that has not said: the
  // rate asked for went all the same.
  EXPECT_TRUE(server.Saw(Bytes({255, 250, 44, 1, 0, 1, 0xC2, 0, 255, 240})));
  CloseHandle(h);
}

}  // namespace
}  // namespace vx::test
