// CSerialLink: one open serial port with its reader and writer threads.
#pragma once

#include "link/LinkNotify.h"

#include <atomic>

class CSerialLink {
 public:
  // How long a stop operation waits for its worker before terminating it.
  static constexpr DWORD kStopWaitMs = 10000;

  explicit CSerialLink(HWND owner, DWORD stopWaitMs = kStopWaitMs);
  // Releases nothing: the owner calls Close() first.
  virtual ~CSerialLink();
  CSerialLink(const CSerialLink&) = delete;
  CSerialLink& operator=(const CSerialLink&) = delete;

  // Takes over `port` (opened with FILE_FLAG_OVERLAPPED), configures it and
  // starts both workers. 1 on success; 0 after posting the failure.
  int Open(HANDLE port);
  // Hands a packet to the writer. 1 when handed over (the writer now owns the
  // block) or when there was nothing to hand; 0 when the caller keeps it: no
  // writer, its queue refused the packet, or it already holds about half a
  // second of the line's bytes (see Backlog).
  int Send(const void* packet, DWORD count);
  // Bytes handed to the writer and not yet written to the port.
  DWORD Backlog() const { return m_nBacklog.load(); }
  // Bytes the writer has written to the port since Open: what the driver
  // took, which after Close is short of what Send accepted by the packets
  // the line never took (a dead or stalled line leaves them queued).
  ULONGLONG BytesWritten() const { return m_nBytesWritten.load(); }
  // Line errors the port reported since Open (each EV_ERR the reader took),
  // and the CE_ flags seen among them; the description of each goes to the
  // diagnostic output as it comes.
  DWORD LineErrors() const { return m_nLineErrors.load(); }
  DWORD LineErrorKinds() const { return m_dwLineErrorKinds.load(); }
  // The port the link reads and writes, for asking the port itself about
  // the line; valid until Close.
  HANDLE PortHandle() const { return m_hPort; }
  void Close();
  void StopReader();
  void StopWriter();

  // The worker threads' procedures; the argument is the link.
  static DWORD WINAPI WriterProc(LPVOID link);
  static DWORD WINAPI ReaderProc(LPVOID link);

 private:
  DWORD RunWriter();
  DWORD RunReader();
  int WriteBlock(OVERLAPPED* ov, const BYTE* data, DWORD count);
  void AbortPendingWrite(OVERLAPPED* ov);
  void CountWritten(DWORD count) { m_nBytesWritten += count; }
  int ArmRead(OVERLAPPED* ov, BYTE* buffer, DWORD size, DWORD* read);
  int FinishRead(OVERLAPPED* ov, BYTE* buffer, DWORD size, DWORD* read);
  int Deliver(const BYTE* bytes, DWORD count);
  int ArmLineEvent(OVERLAPPED* ov, DWORD* mask);
  int FinishLineEvent(OVERLAPPED* ov, DWORD* mask, BOOL waited);
  void PostStatus(int kind, LPARAM code);
  bool StopRequested();
  int AbandonOpen(HANDLE port);
  bool StartWorker(LPTHREAD_START_ROUTINE routine, std::atomic<HANDLE>& running, HANDLE& thread,
                   std::atomic<DWORD>& id, int priority);
  void StopWorker(std::atomic<HANDLE>& running, HANDLE& thread, std::atomic<DWORD>& id, DWORD purge);
  void FreeQueuedPackets();
  void ReleasePacket(LPARAM block, DWORD count);
  bool PostWhenRoom(BYTE* block, DWORD count);

  // What the workers' pending operations refer to: their OVERLAPPED records,
  // the read buffer and the event mask. Kept here, not on the workers' stacks,
  // because a worker terminated while an operation pends leaves that
  // operation to be aborted when the port closes, and the port then still
  // writes into them; the link outlives the port.
  static constexpr DWORD kReceiveBufferSize = 2048;
  struct ReaderIo {
    BYTE buffer[kReceiveBufferSize];
    DWORD mask;
    OVERLAPPED readOv;
    OVERLAPPED lineOv;
  };
  ReaderIo m_readerIo{};
  OVERLAPPED m_writerOv{};

  HWND m_hOwner;
  HANDLE m_hPort;
  std::atomic<DWORD> m_dwReaderId;
  std::atomic<DWORD> m_dwWriterId;
  std::atomic<HANDLE> m_hReader;
  std::atomic<HANDLE> m_hWriter;
  HANDLE m_hStop;

  // Thread handles: m_hReader and m_hWriter say "this worker runs"; a worker
  // clears its own as it ends. The handles themselves are kept here, used and
  // closed only by the user-interface thread (in the stop operations), so each
  // is closed exactly once and never while anyone waits on it.
  HANDLE m_hReaderThread;
  HANDLE m_hWriterThread;
  // Send calls between reading m_hWriter and posting; the ending writer waits
  // for them before it frees what is left in its queue, so no packet is lost
  // between its last look and its end.
  std::atomic<int> m_nSending;
  // Bytes accepted by Send and not yet written or freed by the writer, and how
  // many Send lets wait: without a bound the writer's queue would take ten
  // thousand packets, minutes of a slow line, and the written count would run
  // that far ahead of what ever reached the wire.
  std::atomic<DWORD> m_nBacklog;
  std::atomic<ULONGLONG> m_nBytesWritten;
  std::atomic<DWORD> m_nLineErrors;
  std::atomic<DWORD> m_dwLineErrorKinds;
  DWORD m_dwBacklogLimit;
  DWORD m_dwStopWaitMs;
};
