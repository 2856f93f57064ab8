// The writer worker: takes WM_LINK_SEND packets from its thread queue and
// writes each one completely with overlapped WriteFile.
#include "link/SerialLink.h"

DWORD WINAPI CSerialLink::WriterProc(LPVOID link) { return static_cast<CSerialLink*>(link)->RunWriter(); }

DWORD CSerialLink::RunWriter() {
  OVERLAPPED& ov = m_writerOv;  // in the link: see SerialLink.h
  ov = OVERLAPPED{};
  MSG msg{};
  ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (!ov.hEvent) {
    PostStatus(LINK_STATUS_ERROR, LINK_ERR_NO_EVENT);
  } else {
    for (;;) {
      if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DWORD r = MsgWaitForMultipleObjects(1, &m_hStop, FALSE, INFINITE, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) break;
        if (r == WAIT_OBJECT_0 + 1) continue;
        PostStatus(LINK_STATUS_ERROR, LINK_ERR_WRITER);
        break;
      }
      if (WaitForSingleObject(m_hStop, 0) != WAIT_TIMEOUT) {
        // Stopped with a packet in hand: it is freed, not written.
        if (!msg.hwnd && msg.message == WM_LINK_SEND) ReleasePacket(msg.lParam, static_cast<DWORD>(msg.wParam));
        break;
      }
      if (msg.hwnd) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        continue;
      }
      if (msg.message != WM_LINK_SEND) continue;  // other thread messages are dropped
      int written = WriteBlock(&ov, reinterpret_cast<const BYTE*>(msg.lParam), static_cast<DWORD>(msg.wParam));
      ReleasePacket(msg.lParam, static_cast<DWORD>(msg.wParam));
      if (!written) break;
    }
  }

  PurgeComm(m_hPort, PURGE_TXABORT | PURGE_TXCLEAR);
  if (ov.hEvent) CloseHandle(ov.hEvent);
  m_dwWriterId = 0;
  m_hWriter = nullptr;
  FreeQueuedPackets();
  return 0;
}

// Packets still queued when the writer ends would otherwise be lost with its
// queue. Send calls already past their check of m_hWriter are let finish first.
void CSerialLink::FreeQueuedPackets() {
  while (m_nSending.load() != 0) Sleep(0);
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (!msg.hwnd && msg.message == WM_LINK_SEND) ReleasePacket(msg.lParam, static_cast<DWORD>(msg.wParam));
  }
}

// A packet leaves the backlog when its block is freed, written or not.
void CSerialLink::ReleasePacket(LPARAM block, DWORD count) {
  LocalFree(reinterpret_cast<HLOCAL>(block));
  m_nBacklog -= count;
}

// Leaving WriteBlock with a write still pending (stopped, or the wait for it
// failed): the write is aborted, and has let go of the block, before the
// caller frees the block.
void CSerialLink::AbortPendingWrite(OVERLAPPED* ov) {
  DWORD moved = 0;
  PurgeComm(m_hPort, PURGE_TXABORT);
  GetOverlappedResult(m_hPort, ov, &moved, TRUE);
  CountWritten(moved);  // the part the driver took before the abort
}

int CSerialLink::WriteBlock(OVERLAPPED* ov, const BYTE* data, DWORD count) {
  DWORD offset = 0;
  DWORD remaining = count;
  while (remaining > 0) {
    DWORD written = 0;
    if (!WriteFile(m_hPort, data + offset, remaining, &written, ov)) {
      DWORD error = GetLastError();
      CountWritten(written);  // what a write that failed at once moved first; 0 when it pends
      if (error == ERROR_INVALID_HANDLE) {
        PostStatus(LINK_STATUS_ERROR, LINK_ERR_BAD_HANDLE);
        return 0;
      }
      if (error != ERROR_IO_PENDING) {
        PostStatus(LINK_STATUS_ERROR, LINK_ERR_WRITER);
        return 0;
      }
      HANDLE waits[2] = {m_hStop, ov->hEvent};
      DWORD r = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
      if (r == WAIT_OBJECT_0) {
        AbortPendingWrite(ov);
        return 0;
      }
      if (r != WAIT_OBJECT_0 + 1) {
        PostStatus(LINK_STATUS_ERROR, LINK_ERR_WRITER);
        AbortPendingWrite(ov);
        return 0;
      }
      if (!GetOverlappedResult(m_hPort, ov, &written, TRUE)) {
        const DWORD error = GetLastError();
        CountWritten(written);  // the part the driver took before the failure
        PostStatus(LINK_STATUS_ERROR, error == ERROR_INVALID_HANDLE ? LINK_ERR_BAD_HANDLE : LINK_ERR_WRITER);
        return 0;
      }
    }
    CountWritten(written);
    remaining -= written;
    offset += written;
  }
  return 1;
}
