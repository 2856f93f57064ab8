// The application object, the entry, and the UI thread's message queue
// plugged into Qt's event loop.
#include "host.h"
#include "platform/hooks.h"

#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <vector>
#include <chrono>
#include <cmath>

namespace vx::fw {
namespace {

CWinApp* theApp = nullptr;
const vx::res::Module* resources = nullptr;
MessageBoxHook messageBoxHook;
ModalHook modalHook;
FileDialogHook fileDialogHook;
std::string serialDeviceRoot = "/dev";

// Drains the platform queue of this thread whenever it gets work, and at
// every timer's due time, inside whatever Qt event loop is running (modal
// loops included).
class QueuePump : public QObject {
 public:
  static constexpr QEvent::Type kDrain = QEvent::Type(QEvent::User + 0x5658);

  QueuePump() {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { Drain(); });
    // Timers wake the loop through the queue's timer descriptor, on time to
    // the microsecond (a millisecond QTimer would lose ticks of a 1 ms
    // timer to rounding); the QTimer is the fallback where there is none.
    int fd = vx::QueueTimerDescriptor();
    if (fd >= 0) {
      notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
      QObject::connect(notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });
    }
    vx::SetQueueWakeHook(&QueuePump::Wake, this);
    Wake(this);
    // A request to end (SIGTERM, a closed terminal) closes the running
    // dialogs as their close boxes would: the port is closed and gets its
    // settings back, where the signal's default would kill the program.
    const int ending = vx::TerminationRequestDescriptor();
    if (ending >= 0) {
      auto* asked = new QSocketNotifier(ending, QSocketNotifier::Read, this);
      QObject::connect(asked, &QSocketNotifier::activated, this, [] {
        const std::vector<HWND> windows = RunningModalWindows();
        vx::AnswerTerminationRequest(windows.data(), windows.size());
      });
    }
  }
  ~QueuePump() override { vx::SetQueueWakeHook(nullptr, nullptr); }

  static void Wake(void* context) {
    auto* self = static_cast<QueuePump*>(context);
    if (!self->pending_.exchange(true)) QCoreApplication::postEvent(self, new QEvent(kDrain));
  }

  bool event(QEvent* e) override {
    if (e->type() != kDrain) return QObject::event(e);
    pending_.store(false);
    Drain();
    return true;
  }

 private:
  void Drain() {
    // Batches are bounded in time, so that a flood of posted messages cannot
    // starve painting and input; what is left is taken on the next turn. A due
    // timer is taken at least every half millisecond within a batch: WM_TIMER
    // only comes once nothing posted is waiting, and a peer flooding the line
    // would otherwise keep the queue from emptying and stall the 1 ms timer.
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto nextTimerLook = start;
    MSG msg;
    bool more = true;
    while (more) {
      auto now = Clock::now();
      if (now >= nextTimerLook) {
        if (PeekMessageA(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE)) DispatchMessageA(&msg);
        nextTimerLook = now + std::chrono::microseconds(500);
      }
      if (now - start > std::chrono::milliseconds(4)) break;
      more = PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
      if (more) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
    }
    if (more) Wake(this);
    if (notifier_) return;  // the descriptor was re-armed by the queue itself
    std::int64_t due = vx::NextTimerDueMicros();
    if (due < 0) {
      timer_.stop();
    } else {
      // Rounded up: waking before the due time would only find nothing to do.
      timer_.start(static_cast<int>((due + 999) / 1000));
    }
  }

  std::atomic<bool> pending_{false};
  QTimer timer_;
  QSocketNotifier* notifier_ = nullptr;
};

QueuePump* pump = nullptr;

}  // namespace

void SetResourceModule(const vx::res::Module* module) { resources = module; }
const vx::res::Module* ResourceModule() { return resources; }
void SetMessageBoxHook(MessageBoxHook hook) { messageBoxHook = std::move(hook); }
void SetModalHook(ModalHook hook) { modalHook = std::move(hook); }
void SetFileDialogHook(FileDialogHook hook) { fileDialogHook = std::move(hook); }
const FileDialogHook& CurrentFileDialogHook() { return fileDialogHook; }
void SetSerialDeviceRoot(const std::string& root) { serialDeviceRoot = root; }
const std::string& SerialDeviceRoot() { return serialDeviceRoot; }

void RunModalHook(CDialog* dialog) {
  if (modalHook) modalHook(dialog);
}

int AfxMessageBox(const char* text, UINT type) {
  if (messageBoxHook) return messageBoxHook(text, type);
  QWidget* parent = QApplication::activeWindow();
  QMessageBox::warning(parent, QStringLiteral("Varnelix"), LocalText(text ? text : ""));
  return IDOK;
}

void EnsureApplication(int argc, char** argv) {
  if (!QCoreApplication::instance()) {
    static int storedArgc = 1;
    static char name[] = "varnelix";
    static char* defaultArgv[] = {name, nullptr};
    if (argc > 0 && argv) {
      storedArgc = argc;
      new QApplication(storedArgc, argv);
    } else {
      new QApplication(storedArgc, defaultArgv);
    }
  }
  // The queue pump lives as long as the program.
  if (!pump) pump = new QueuePump;
}

void PumpEvents(int ms) {
  QTimer done;
  done.setSingleShot(true);
  QEventLoop loop;
  QObject::connect(&done, &QTimer::timeout, &loop, &QEventLoop::quit);
  done.start(ms);
  loop.exec();
}

}  // namespace vx::fw

CWinApp::CWinApp(LPCSTR) { vx::fw::theApp = this; }
CWinApp::~CWinApp() {
  if (vx::fw::theApp == this) vx::fw::theApp = nullptr;
}

CWinApp* AfxGetApp() { return vx::fw::theApp; }

void AfxEnableControlContainer() {}  // no ActiveX controls on Linux

int AfxWinMain(int argc, char** argv) {
  vx::fw::EnsureApplication(argc, argv);
  CWinApp* app = AfxGetApp();
  if (!app) return 1;
  int code = 0;
  if (app->InitInstance()) code = app->Run();
  int exitCode = app->ExitInstance();
  return exitCode ? exitCode : code;
}
