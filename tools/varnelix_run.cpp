// varnelix-run: the exerciser without a display. It drives the real main
// dialog on Qt's offscreen platform, filling in the fields and pressing Start
// as a user would, checks every byte that comes back against the file, waits
// for a slow line to finish, and tells by its exit status and report whether
// everything sent came back intact.
#include "res/varnelix_res.h"
#include "tools/dialog_driver.h"
#include "tools/drain_policy.h"
#include "tools/expected_stream.h"
#include "tools/port_fleet.h"
#include "tools/port_holders.h"
#include "tools/port_probe.h"
#include "tools/run_options.h"
#include "tools/run_report.h"
#include "tools/runner_dlg.h"
#include "tools/status_view.h"
#include "tools/stop_signals.h"
#include "tools/stream_comparator.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace vx::tools;

constexpr int kBadArguments = 2;
// After the link's ERROR, blocks it posted before failing still come in.
constexpr double kErrorGraceSeconds = 0.2;
constexpr int kPollMs = 20;
// Start pauses this long between opening the file and the first tick.
constexpr double kStartPauseSeconds = 0.1;

volatile std::sig_atomic_t signalSeen = 0;
void OnSignal(int signal) { signalSeen = signal; }

void SetUpQt(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
    // Qt wants one and warns without it; a private one under /tmp will do.
    std::string dir = "/tmp/varnelix-runtime-" + std::to_string(getuid());
    mkdir(dir.c_str(), 0700);
    qputenv("XDG_RUNTIME_DIR", dir.c_str());
  }
  vx::fw::SetResourceModule(&vx::res::VarnelixResources());
  vx::fw::EnsureApplication(argc, argv);
  // A validation message has no one to read it here.
  vx::fw::SetMessageBoxHook([](const char* text, UINT) {
    std::fprintf(stderr, "varnelix-run: %s\n", text);
    return IDOK;
  });
}

// Writes the report where --json asked; false with a message when it cannot.
bool WriteReport(const RunFacts& facts) {
  const std::string& target = facts.options.json;
  if (target.empty()) return true;
  if (target == "-") {
    WriteJson(stdout, facts);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    std::perror("varnelix-run: cannot write the report to standard output");
    return false;
  }
  FILE* out = std::fopen(target.c_str(), "w");
  if (!out) {
    std::perror(("varnelix-run: cannot write " + target).c_str());
    return false;
  }
  WriteJson(out, facts);
  const bool written = std::fflush(out) == 0 && !std::ferror(out);
  const bool closed = std::fclose(out) == 0;
  if (!written || !closed) std::perror(("varnelix-run: cannot write " + target).c_str());
  return written && closed;
}

// One run of the dialog, from Start to the verdict.
class Run {
 public:
  Run(const RunOptions& options, ExpectedStream& expected, FILE* console)
      : expected_(expected),
        comparator_(expected),
        dlg_(comparator_),
        console_(console),
        view_(console, options.stress ? 0 : expected.PassLength()),
        drain_(kStartPauseSeconds, options.drainTimeout,
               DrainPolicy::OwedFloorFor(vx::IsNetworkPort(vx::PortKindOf(options.port.c_str())), options.maxPause)) {
    facts_.options = options;
    facts_.fileSize = expected.PassLength();
  }

  int Execute() {
    vx::fw::SetModalHook([this](CDialog* d) {
      if (d == &dlg_) Start();
    });
    dlg_.DoModal();
    return exitStatus_;
  }

 private:
  enum class Phase { Sending, Draining };

  double Now() const { return clock_.elapsed() / 1000.0; }

  void Start() {
    const RunOptions& o = facts_.options;
    // Before the clock starts: the look through /proc takes a while.
    NoteOtherHolders();
    clock_.start();
    StartTransfer(dlg_, {o.file, o.port, o.packetSize, o.stress});
    if (!dlg_.m_pLink) {
      // The dialog shows only "ERROR": ask the system why.
      PortProblem problem = ProbePort(o.port, dlg_.m_dwOpenError);
      facts_.portError = problem.reason;
      facts_.portHint = problem.hint;
      Conclude(DrainEnd::NotReached);
      return;
    }
    if (dlg_.m_hSourceFile == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "varnelix-run: the exerciser could not open '%s'\n", o.file.c_str());
      Quit(kBadArguments);
      return;
    }
    // A driver keeps only the settings it can make, and says nothing. Read
    // once, as the port opens: later the far end of a pseudo-terminal may set
    // the line itself (its master's termios are the slave's), which is no
    // fault of the driver.
    facts_.settingsNotHeld = vx::LineSettingsNotHeld(dlg_.m_pLink->PortHandle());
    facts_.pseudoTerminal = IsPseudoTerminal(vx::PortDevicePath(o.port.c_str()));
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    xonXoff_ = GetCommState(dlg_.m_pLink->PortHandle(), &dcb) && (dcb.fOutX || dcb.fInX);
    auto* poll = new QTimer(dlg_.widget());
    QObject::connect(poll, &QTimer::timeout, dlg_.widget(), [this] { Poll(); });
    poll->start(kPollMs);
  }

  void Poll() {
    const double now = Now();
    // The most seen so far: the figure dips while a block moves from the
    // link's read to the dialog, and a dip and its return are no new bytes.
    arrived_ = std::max<std::uint64_t>(arrived_, dlg_.BytesArrived());
    drain_.Judged(comparator_.Counts().received);
    drain_.Observe(now, arrived_);
    if (dlg_.m_nWritten > lastWritten_) {
      lastWritten_ = dlg_.m_nWritten;
      lastWrite_ = now;
    }
    // What the line took, which may go on after the link accepted the last
    // packet (a far end that paused its reading takes the rest later).
    if (dlg_.m_pLink && dlg_.m_pLink->BytesWritten() > lastLineWritten_) {
      lastLineWritten_ = dlg_.m_pLink->BytesWritten();
      lastLineWrite_ = now;
      drain_.Sent(now);
    }
    CString line;
    dlg_.GetDlgItem(IDC_STATUS)->GetWindowText(line);
    view_.Show(line.str(), dlg_.m_nWritten);
    // A program that opens the port during the run and leaves before its end
    // is seen only while it holds it: looked for again, at most once a
    // second, as faults are found, or while nothing comes back though bytes
    // are owed (it may be taking them all; the faults show once it leaves).
    const CompareCounts& k = comparator_.Counts();
    NoteAnswers(now);
    const std::uint64_t faults = k.lost + k.corrupted + k.extra;
    const bool silent = arrived_ < dlg_.m_nWritten && now - std::max(drain_.LastReceipt(), kStartPauseSeconds) >= 0.5;
    if ((faults > faultsAtHolderLook_ || silent) && now - lastHolderLook_ >= 1.0) {
      NoteOtherHolders();
      faultsAtHolderLook_ = faults;
      lastHolderLook_ = now;
    }

    if (signalSeen) return Conclude(DrainEnd::Interrupted);
    if (dlg_.LinkFailed()) {
      if (errorSeen_ < 0) errorSeen_ = now;
      if (now - errorSeen_ >= kErrorGraceSeconds) Conclude(DrainEnd::LinkError);
      return;
    }
    if (phase_ == Phase::Sending) {
      const RunOptions& o = facts_.options;
      // Nothing goes out and none of the bytes sent come back while the line
      // holds the sender back: the far end has stopped reading. It will not
      // finish. Bytes of its own (a heartbeat, a status line after its XOFF)
      // are no progress: counted, they kept such a run going for ever.
      // Only a held line is evidence: the dialog's own wait at the end of the
      // file (or of a pass) sends nothing either, by design. And a line is not
      // called stopped on less than a few seconds of it, however short the
      // drain timeout: a slow line takes a packet every few tenths of a second.
      const double quiet = now - std::max({lastWrite_, lastMatchedAt_, kStartPauseSeconds});
      if (LineHolding() && quiet >= std::max(o.drainTimeout, DrainPolicy::kOwedFloor)) {
        facts_.sendingStalled = true;
        return Conclude(DrainEnd::TimedOut);
      }
      bool finished = dlg_.m_hSourceFile == INVALID_HANDLE_VALUE;
      bool timeUp = o.duration > 0 && now >= o.duration;
      if (!finished && !timeUp) return;
      // Stop the pacing first, so that nothing more goes out while draining.
      dlg_.StopSending();
      phase_ = Phase::Draining;
      facts_.sendingSeconds = timeUp ? now : lastWrite_;
      drainStart_ = now;
      drain_.Begin(now);
      return;
    }
    const std::uint64_t judged = comparator_.Counts().expected;
    const std::uint64_t owed = dlg_.m_nWritten > judged ? dlg_.m_nWritten - judged : 0;
    // While the line still holds back bytes the link accepted (flow control,
    // a far end that paused its reading), a quiet line is waiting for us, not
    // done: as while sending, only the timeout ends the wait.
    if (LineHolding() ? drain_.TimedOut(now) : drain_.Done(now, owed))
      Conclude(drain_.TimedOut(now) ? DrainEnd::TimedOut : DrainEnd::Quiet);
  }

  // The line holds back bytes the link accepted: flow control, or a far end
  // that has paused (or stopped) its reading.
  bool LineHolding() const { return dlg_.m_pLink && dlg_.m_pLink->BytesWritten() < dlg_.m_nWritten; }

  // When bytes sent last came back, and first: the arrival of the last byte
  // the judge found in step, not when it was judged (a slow line's block is
  // delivered well after its first bytes came).
  void NoteAnswers(double now) {
    const std::uint64_t matched = comparator_.Counts().matched;
    if (matched <= lastMatched_) return;
    const double at = drain_.ArrivalOf(comparator_.AnsweredTo());
    lastMatchedAt_ = at >= 0 ? at : now;
    if (lastMatched_ == 0) {
      firstAnswerAt_ = lastMatchedAt_;
      firstAnswered_ = matched;
    }
    lastMatched_ = matched;
  }

  // Other programs with the port open. The port's exclusivity keeps out only
  // those that open it later (and root not even those): looked for at the
  // start, during the run (see Poll) and at the end.
  void NoteOtherHolders() {
    const std::string device = vx::PortDevicePath(facts_.options.port.c_str());
    if (device.empty()) return;
    bool unseen = false;
    const std::vector<PortHolder> holders = Holders(device, &unseen);
    facts_.holdersUnseen = facts_.holdersUnseen || unseen;
    for (const PortHolder& holder : holders) {
      auto& known = facts_.otherHolders;
      if (std::none_of(known.begin(), known.end(), [&](const PortHolder& h) { return h.pid == holder.pid; }))
        known.push_back(holder);
    }
  }

  void Conclude(DrainEnd end) {
    if (facts_.portError.empty()) NoteOtherHolders();
    dlg_.StopSending();
    const bool held = LineHolding();
    const std::uint64_t written = dlg_.EndLink();
    const double now = Now();
    // The blocks the link still held came in with its close: they were
    // received by now, and the rates and the last receipt count them.
    drain_.Observe(now, std::max<std::uint64_t>(arrived_, dlg_.m_nReceived));
    if (phase_ == Phase::Sending) {
      facts_.sendingSeconds = lastWrite_ > 0 ? lastWrite_ : now;
      drainStart_ = now;
    }
    // Bytes the line never took were never sent: they are not lost. Nor are
    // those still on their way back when the wait was cut short (by the
    // drain timeout, a stall while sending, or a signal) while the line was
    // still answering, or still holding the sender back: a far end that
    // paused its reading has the rest queued before it, unread, not dropped,
    // and the runner cannot tell a pause from a stop.
    const bool cutShort = end == DrainEnd::TimedOut || end == DrainEnd::Interrupted;
    // Answering is bytes sent coming back in step. The judge may still hold
    // the last of them: after a fault it holds up to a window before it finds
    // its place again, on a slow line many seconds of bytes. A copy of it,
    // finished as if nothing more came, says how far the answers reach.
    StreamComparator trial(comparator_);
    trial.Finish(written);
    facts_.stillAnswering = drain_.AnsweredLately(now, trial.AnsweredTo());
    comparator_.Finish(written, cutShort && (facts_.stillAnswering || held));
    facts_.written = written;
    facts_.accepted = dlg_.m_nWritten;
    facts_.received = dlg_.m_nReceived;
    facts_.counts = comparator_.Counts();
    facts_.differences = comparator_.Differences();
    facts_.drainSeconds = now - drainStart_;
    facts_.totalSeconds = now;
    facts_.lastReceiptSeconds = drain_.LastReceipt();
    NoteAnswers(now);
    facts_.lastAnswerSeconds = lastMatched_ ? lastMatchedAt_ : -1;
    facts_.firstAnswerSeconds = lastMatched_ ? firstAnswerAt_ : -1;
    facts_.firstAnswerBytes = firstAnswered_;
    facts_.drainEndedTalking = end == DrainEnd::Quiet && drain_.EndedTalking();
    facts_.recentReceiveRate = drain_.RecentRate();
    facts_.fileChanged = expected_.Changed();
    facts_.fileReadFailed = dlg_.m_bSourceFailed;
    facts_.lastLineWriteSeconds = lastLineWrite_;
    facts_.drainEnd = end;
    facts_.linkError = dlg_.LinkFailed();
    facts_.linkErrorSeconds = errorSeen_;
    facts_.firstBytesBack = dlg_.FirstBytes();
    facts_.lineErrors = dlg_.LineErrors();
    facts_.lineErrorKinds = dlg_.LineErrorKinds();
    facts_.signal = signalSeen;
    std::uint8_t head[2] = {};
    facts_.firstBytesSent.assign(reinterpret_cast<const char*>(head), expected_.Read(0, head, sizeof head));
    // Read through the file only for a run that failed on such a line.
    if (xonXoff_ && JudgeRun(facts_) == Verdict::Failed) facts_.flowControlBytes = CountInPass(expected_, {0x11, 0x13});
    CString line;
    dlg_.GetDlgItem(IDC_STATUS)->GetWindowText(line);
    if (!line.IsEmpty()) view_.Show(line.str(), dlg_.m_nWritten, true);
    view_.End();
    WriteSummary(console_, facts_);
    int status = ExitStatus(facts_);
    if (!WriteReport(facts_) && status == 0) status = 1;
    Quit(status);
  }

  void Quit(int status) {
    exitStatus_ = status;
    PressQuit(dlg_);
  }

  ExpectedStream& expected_;
  StreamComparator comparator_;
  CRunnerDlg dlg_;
  FILE* console_;
  StatusView view_;
  DrainPolicy drain_;
  RunFacts facts_;
  QElapsedTimer clock_;
  Phase phase_ = Phase::Sending;
  std::uint64_t lastWritten_ = 0;
  std::uint64_t lastLineWritten_ = 0;  // what the link had written to the line at the last poll
  double lastLineWrite_ = -1;          // when that last grew
  // The matched count at the last poll, and when the last byte the judge
  // found in step came: bytes sent coming back, which bytes of the far end's
  // own are not.
  std::uint64_t lastMatched_ = 0;
  double lastMatchedAt_ = 0;
  // The first answer: when it came, and the matched count it brought.
  double firstAnswerAt_ = -1;
  std::uint64_t firstAnswered_ = 0;
  std::uint64_t arrived_ = 0;  // bytes seen back, delivered or still in the link's read
  double lastWrite_ = 0, drainStart_ = 0, errorSeen_ = -1;
  double lastHolderLook_ = -1;  // when other holders were last looked for during the run
  std::uint64_t faultsAtHolderLook_ = 0;
  int exitStatus_ = 1;
  bool xonXoff_ = false;  // the port has XON/XOFF flow control
};

}  // namespace

int main(int argc, char** argv) {
  RunOptions options;
  if (!ParseRunOptions(argc, argv, &options)) return kBadArguments;
  if (options.help) {
    PrintRunUsage(stdout);
    return 0;
  }
  if (options.ports.size() > 1) {
    // Each port runs in a child of this same program, started by its real
    // path rather than /proc/self/exe so that it carries the program's name:
    // a port that one child holds is then named as held by varnelix-run.
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    return RunPortFleet(n > 0 && access(self, X_OK) == 0 ? self : "/proc/self/exe", options);
  }
  FileStream expected(options.stress);
  std::string error;
  if (!expected.Open(options.file, &error)) {
    std::fprintf(stderr, "varnelix-run: cannot read '%s': %s\n", options.file.c_str(), error.c_str());
    return kBadArguments;
  }

  CatchStopSignals(OnSignal);
  SetUpQt(argc, argv);

  // With the report on standard output, what a person reads goes to stderr.
  Run run(options, expected, options.json == "-" ? stderr : stdout);
  return run.Execute();
}
