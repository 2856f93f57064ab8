// CSerialLink: opening and configuring the port, starting and stopping the
// workers, handing packets to the writer.
#include "link/SerialLink.h"

#include <algorithm>

namespace {
// The writer's backlog is bounded by half a second of the line at its rate
// (10 bits a byte), but never below 16 KiB: eight full packets, so that a
// fast port is never held back by a writer that was briefly descheduled.
constexpr DWORD kMinBacklogBytes = 16 * 1024;
DWORD BacklogLimitFor(DWORD baud) { return std::max<DWORD>(kMinBacklogBytes, baud / 10 / 2); }
}  // namespace

CSerialLink::CSerialLink(HWND owner, DWORD stopWaitMs)
    : m_hOwner(owner),
      m_hPort(nullptr),
      m_dwReaderId(0),
      m_dwWriterId(0),
      m_hReader(nullptr),
      m_hWriter(nullptr),
      m_hStop(nullptr),
      m_hReaderThread(nullptr),
      m_hWriterThread(nullptr),
      m_nSending(0),
      m_nBacklog(0),
      m_nBytesWritten(0),
      m_nLineErrors(0),
      m_dwLineErrorKinds(0),
      m_dwBacklogLimit(kMinBacklogBytes),
      m_dwStopWaitMs(stopWaitMs) {}

CSerialLink::~CSerialLink() {}

void CSerialLink::PostStatus(int kind, LPARAM code) {
  PostMessageA(m_hOwner, WM_LINK_STATUS, static_cast<WPARAM>(kind), code);
}

bool CSerialLink::StopRequested() { return WaitForSingleObject(m_hStop, 0) != WAIT_TIMEOUT; }

int CSerialLink::Open(HANDLE port) {
  if (GetFileType(port) != FILE_TYPE_CHAR) {
    PostStatus(LINK_STATUS_ERROR, LINK_ERR_BAD_HANDLE);
    CloseHandle(port);
    return 0;
  }
  if (m_hPort) return 0;  // one port per link; the caller keeps `port`
  m_hPort = port;

  // A character device whose line settings cannot be read (/dev/null,
  // /dev/zero) is no serial port: refuse it at once, as Windows does, rather
  // than "send" a whole file into it.
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  if (!GetCommState(m_hPort, &dcb)) {
    PostStatus(LINK_STATUS_ERROR, LINK_ERR_GETCOMMSTATE);
    return AbandonOpen(port);
  }
  GetCommTimeouts(m_hPort, &timeouts);
  // A read waits without limit for its first byte, then ends when its buffer
  // is full or 20 ms pass without a further byte; writes never time out.
  timeouts.ReadIntervalTimeout = 20;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  SetCommTimeouts(m_hPort, &timeouts);
  dcb.fAbortOnError = FALSE;
  SetCommState(m_hPort, &dcb);
  m_dwBacklogLimit = BacklogLimitFor(dcb.BaudRate);

  m_hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!m_hStop) {
    PostStatus(LINK_STATUS_ERROR, LINK_ERR_NO_EVENT);
    return AbandonOpen(port);
  }

  if (!StartWorker(ReaderProc, m_hReader, m_hReaderThread, m_dwReaderId, THREAD_PRIORITY_HIGHEST)) {
    PostStatus(LINK_STATUS_ERROR, LINK_ERR_NO_THREAD);
    m_dwReaderId = 0;
    return AbandonOpen(port);
  }
  if (!StartWorker(WriterProc, m_hWriter, m_hWriterThread, m_dwWriterId, THREAD_PRIORITY_ABOVE_NORMAL)) {
    PostStatus(LINK_STATUS_ERROR, LINK_ERR_NO_THREAD);
    StopReader();
    m_dwWriterId = 0;
    return AbandonOpen(port);
  }

  // Announce the open port, so the owner shows "Connected".
  PostStatus(LINK_STATUS_CONNECTED, 0);
  return 1;
}

// A failed Open's last action: the link lets go of the port it was given and
// of the stop event, if it made one, and stays unopened.
int CSerialLink::AbandonOpen(HANDLE port) {
  m_hPort = nullptr;
  CloseHandle(port);
  if (m_hStop) CloseHandle(m_hStop);
  m_hStop = nullptr;
  return 0;
}

bool CSerialLink::StartWorker(LPTHREAD_START_ROUTINE routine, std::atomic<HANDLE>& running, HANDLE& thread,
                              std::atomic<DWORD>& id, int priority) {
  // "Running" is marked before the thread starts, so that a worker which ends
  // at once (a failure in its first step) clears a mark that is already there.
  static HANDLE const kStarting = reinterpret_cast<HANDLE>(1);
  running = kStarting;
  DWORD threadId = 0;
  thread = CreateThread(nullptr, 0, routine, this, 0, &threadId);
  if (!thread) {
    running = nullptr;
    return false;
  }
  id = threadId;
  HANDLE expected = kStarting;
  if (!running.compare_exchange_strong(expected, thread)) id = 0;  // it has ended already
  SetThreadPriority(thread, priority);
  return true;
}

int CSerialLink::Send(const void* packet, DWORD count) {
  if (!packet || count == 0) return 1;
  if (m_nBacklog.load() >= m_dwBacklogLimit) return 0;
  ++m_nSending;
  int result = 0;
  if (m_hWriter.load()) {
    // Counted before the post: the writer may take and finish the packet
    // before PostThreadMessageA has even returned.
    m_nBacklog += count;
    result = PostThreadMessageA(m_dwWriterId.load(), WM_LINK_SEND, count,
                                reinterpret_cast<LPARAM>(const_cast<void*>(packet)))
                 ? 1
                 : 0;
    if (!result) m_nBacklog -= count;
  }
  --m_nSending;
  return result;
}

void CSerialLink::Close() {
  if (!m_hPort) return;
  PostStatus(LINK_STATUS_DISCONNECTED, 0);
  StopReader();
  StopWriter();
  CloseHandle(m_hStop);
  m_hStop = nullptr;
  CloseHandle(m_hPort);
  m_hPort = nullptr;
}

void CSerialLink::StopReader() {
  StopWorker(m_hReader, m_hReaderThread, m_dwReaderId, PURGE_RXABORT | PURGE_RXCLEAR);
}

void CSerialLink::StopWriter() {
  StopWorker(m_hWriter, m_hWriterThread, m_dwWriterId, PURGE_TXABORT | PURGE_TXCLEAR);
}

void CSerialLink::StopWorker(std::atomic<HANDLE>& running, HANDLE& thread, std::atomic<DWORD>& id, DWORD purge) {
  if (!thread) return;  // never started, or already stopped and closed
  if (running.load()) {
    SetEvent(m_hStop);
    PurgeComm(m_hPort, purge);  // cancels the worker's pending operation
  }
  // Waited on even when the worker has already cleared its "runs" mark: it
  // still touches this object on its way out (the writer frees its queue), so
  // the owner must not delete the link before the thread has truly ended.
  if (WaitForSingleObject(thread, m_dwStopWaitMs) == WAIT_TIMEOUT) {
    TerminateThread(thread, 0);
    // A terminated worker does not get to clear its own fields.
    running = nullptr;
    id = 0;
  }
  // Only this thread ever waits on the handle, so closing it here is the one
  // and only close.
  CloseHandle(thread);
  thread = nullptr;
}
