// varnelix-run: the exerciser without a display. It drives the real main
// dialog on Qt's offscreen platform, filling in the fields and pressing Start
// as a user would, shows the status line as it changes, and tells by its exit
// status whether everything sent came back.
#include "console/ExerciserDlg.h"
#include "res/varnelix_res.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kOk = 0, kDataMissing = 1, kBadArguments = 2;

struct Options {
  std::string port = "loop://";
  std::string file;
  unsigned packetSize = 256;
  bool stress = false;
  double duration = 0;  // seconds; 0 = until a non-stress transfer finishes
};

volatile std::sig_atomic_t interrupted = 0;
void OnSignal(int) { interrupted = 1; }

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: varnelix-run --file PATH [--port NAME] [--packet-size N] [--stress] [--duration SECONDS]\n"
               "Sends a file through a serial port with the Varnelix exerciser, without a display.\n"
               "  --port NAME         COMn, a device path such as /dev/ttyUSB0, or loop:// (default)\n"
               "  --file PATH         the file to send\n"
               "  --packet-size N     bytes sent per 1 ms tick, 1 to 2048 (default 256)\n"
               "  --stress            send the file again and again\n"
               "  --duration SECONDS  stop after this long (needed with --stress)\n"
               "Exit status: 0 when everything sent came back, 1 when data went missing or\n"
               "the link reported an error, 2 for bad arguments.\n");
}

bool Fail(const std::string& message) {
  std::fprintf(stderr, "varnelix-run: %s\n", message.c_str());
  return false;
}

bool ParseArguments(int argc, char** argv, Options* o, bool* help) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) return nullptr;
      (void)what;
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      *help = true;
      return true;
    } else if (a == "--stress") {
      o->stress = true;
    } else if (a == "--port" || a == "--file" || a == "--packet-size" || a == "--duration") {
      const char* v = value(a.c_str());
      if (!v) return Fail(a + " needs a value");
      if (a == "--port") {
        o->port = v;
        if (o->port.empty()) return Fail("--port needs a port name");
      } else if (a == "--file") {
        o->file = v;
      } else if (a == "--packet-size") {
        char* end = nullptr;
        unsigned long n = std::strtoul(v, &end, 10);
        if (!*v || *end || v[0] == '-' || n < 1 || n > 2048)
          return Fail(std::string("--packet-size must be a whole number from 1 to 2048, not '") + v + "'");
        o->packetSize = static_cast<unsigned>(n);
      } else {
        char* end = nullptr;
        double d = std::strtod(v, &end);
        if (!*v || *end || !(d > 0) || d > 1e7) return Fail(std::string("--duration must be a positive number of seconds, not '") + v + "'");
        o->duration = d;
      }
    } else {
      return Fail("unknown argument '" + a + "' (see --help)");
    }
  }
  if (o->file.empty()) return Fail("--file is required (see --help)");
  struct stat st;
  if (stat(o->file.c_str(), &st) != 0) return Fail("cannot read '" + o->file + "': " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return Fail("'" + o->file + "' is not a regular file");
  if (access(o->file.c_str(), R_OK) != 0) return Fail("cannot read '" + o->file + "': " + std::strerror(errno));
  if (o->stress && o->duration <= 0) return Fail("--stress needs --duration, or it would never end");
  return true;
}

std::string ReadWhole(const std::string& path) {
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[65536];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return out;
}

// Shows the status line: one self-updating line with a progress bar on a
// terminal, plain lines otherwise; at most ten times a second.
class StatusView {
 public:
  explicit StatusView(std::uint64_t total) : total_(total), tty_(isatty(STDOUT_FILENO)) {}
  void Show(const std::string& status, std::uint64_t written, bool force = false) {
    if (status == last_ && !force) return;
    if (!force && clock_.isValid() && clock_.elapsed() < 100) return;
    clock_.start();
    last_ = status;
    if (tty_) {
      std::string bar;
      if (total_) {
        int filled = static_cast<int>(std::min<std::uint64_t>(written * 20 / total_, 20));
        bar = "[" + std::string(filled, '#') + std::string(20 - filled, '.') + "] ";
      }
      std::printf("\r\033[K%s%s", bar.c_str(), status.c_str());
    } else {
      std::printf("%s\n", status.c_str());
    }
    std::fflush(stdout);
  }
  void End() {
    if (tty_) std::printf("\n");
  }

 private:
  std::uint64_t total_;
  bool tty_;
  std::string last_;
  QElapsedTimer clock_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  if (!ParseArguments(argc, argv, &options, &help)) return kBadArguments;
  if (help) {
    Usage(stdout);
    return kOk;
  }

  qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
    // Qt wants one and warns without it; a private one under /tmp will do.
    std::string dir = "/tmp/varnelix-runtime-" + std::to_string(getuid());
    mkdir(dir.c_str(), 0700);
    qputenv("XDG_RUNTIME_DIR", dir.c_str());
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  vx::fw::SetResourceModule(&vx::res::VarnelixResources());
  vx::fw::EnsureApplication(argc, argv);
  // A validation message has no one to read it here.
  vx::fw::SetMessageBoxHook([](const char* text, UINT) {
    std::fprintf(stderr, "varnelix-run: %s\n", text);
    return IDOK;
  });

  const std::string sent = ReadWhole(options.file);
  const bool holdsZero = sent.find('\0') != std::string::npos;
  bool errorShown = false;
  bool started = false;
  int exitCode = kOk;
  std::string verdict;
  StatusView view(options.stress ? 0 : sent.size());
  QElapsedTimer clock;

  CExerciserDlg dlg;
  vx::fw::SetModalHook([&](CDialog* d) {
    if (d != &dlg) return;
    auto* status = qobject_cast<QLineEdit*>(dlg.GetDlgItem(IDC_STATUS)->widget());
    QObject::connect(status, &QLineEdit::textChanged, status, [&](const QString& text) {
      if (text == QStringLiteral("ERROR")) errorShown = true;
    });
    dlg.GetDlgItem(IDC_FILE_PATH)->SetWindowText(options.file.c_str());
    dlg.GetDlgItem(IDC_PORT_NAME)->SetWindowText(options.port.c_str());
    dlg.GetDlgItem(IDC_PACKET_SIZE)->SetWindowText(std::to_string(options.packetSize).c_str());
    qobject_cast<QCheckBox*>(dlg.GetDlgItem(IDC_STRESS_TEST)->widget())->setChecked(options.stress);
    dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);  // Start
    started = dlg.m_hSourceFile != INVALID_HANDLE_VALUE;
    clock.start();

    auto* poll = new QTimer(dlg.widget());
    QObject::connect(poll, &QTimer::timeout, dlg.widget(), [&, poll] {
      CString line;
      dlg.GetDlgItem(IDC_STATUS)->GetWindowText(line);
      view.Show(line.str(), dlg.m_nWritten);
      bool finished = dlg.m_hSourceFile == INVALID_HANDLE_VALUE;
      bool timeUp = options.duration > 0 && clock.elapsed() >= options.duration * 1000;
      if (!finished && !timeUp && !interrupted) return;
      poll->stop();
      if (!finished) {
        // Stop sending, then give what is on the line a moment to come back.
        ::KillTimer(dlg.m_hWnd, TRANSFER_TIMER_ID);
        QElapsedTimer drain;
        drain.start();
        while (dlg.m_nReceived != dlg.m_nWritten && drain.elapsed() < 2000 && !errorShown)
          QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      }
      dlg.GetDlgItem(IDC_STATUS)->GetWindowText(line);
      view.Show(line.str(), dlg.m_nWritten, true);
      view.End();
      CString received;
      dlg.GetDlgItem(IDC_RECEIVED)->GetWindowText(received);
      if (errorShown) {
        exitCode = kDataMissing;
        verdict = "the link reported an ERROR";
      } else if (dlg.m_nReceived != dlg.m_nWritten) {
        exitCode = kDataMissing;
        verdict = "data went missing: received " + std::to_string(dlg.m_nReceived) + " of " +
                  std::to_string(dlg.m_nWritten) + " bytes written";
      } else if (!options.stress && finished && !holdsZero && received.str() != sent) {
        exitCode = kDataMissing;
        verdict = "the bytes received differ from the file";
      } else {
        verdict = "everything sent came back";
      }
      std::printf("varnelix-run: %s: %llu bytes written, %llu received in %.1f s%s\n",
                  exitCode == kOk ? "OK" : "FAILED", static_cast<unsigned long long>(dlg.m_nWritten), static_cast<unsigned long long>(dlg.m_nReceived), clock.elapsed() / 1000.0,
                  interrupted ? " (interrupted)" : "");
      std::printf("varnelix-run: %s\n", verdict.c_str());
      dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);  // Quit
    });
    if (!started) {
      CString line;
      dlg.GetDlgItem(IDC_STATUS)->GetWindowText(line);
      std::fprintf(stderr, "varnelix-run: could not start on %s%s\n", options.port.c_str(),
                   line == "ERROR" ? ": the port cannot be opened" : "");
      exitCode = kDataMissing;
      dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      return;
    }
    poll->start(20);
  });
  dlg.DoModal();
  return exitCode;
}
