// The reader worker: keeps a 2048-byte read and a line-event wait pending on
// the port, delivers every received byte to the owner, and clears line errors.
#include "link/SerialLink.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr DWORD kDescriptionSize = 256;
}  // namespace

DWORD WINAPI CSerialLink::ReaderProc(LPVOID link) { return static_cast<CSerialLink*>(link)->RunReader(); }

DWORD CSerialLink::RunReader() {
  m_readerIo = ReaderIo{};
  BYTE(&buffer)[kReceiveBufferSize] = m_readerIo.buffer;
  DWORD read = 0;
  DWORD& mask = m_readerIo.mask;
  OVERLAPPED& readOv = m_readerIo.readOv;
  OVERLAPPED& lineOv = m_readerIo.lineOv;
  // Whether each operation is pending, so that it can be ended before its
  // OVERLAPPED, buffer and mask go out of scope.
  bool readPending = false;
  bool linePending = false;
  bool postReaderError = false;

  readOv.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (readOv.hEvent) lineOv.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (!readOv.hEvent || !lineOv.hEvent) {
    PostStatus(LINK_STATUS_ERROR, LINK_ERR_NO_EVENT);
  } else if (!SetCommMask(m_hPort, EV_ERR)) {
    PostStatus(LINK_STATUS_ERROR, LINK_ERR_EVENT_MASK);
  } else if (!(linePending = ArmLineEvent(&lineOv, &mask)) || !(readPending = ArmRead(&readOv, buffer, sizeof buffer, &read))) {
    postReaderError = true;
  } else {
    HANDLE waits[3] = {m_hStop, lineOv.hEvent, readOv.hEvent};
    for (;;) {
      DWORD r = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
      if (r == WAIT_OBJECT_0) break;
      if (r == WAIT_OBJECT_0 + 1) {
        linePending = false;
        if (!FinishLineEvent(&lineOv, &mask, TRUE) || !(linePending = ArmLineEvent(&lineOv, &mask))) {
          postReaderError = true;
          break;
        }
      } else if (r == WAIT_OBJECT_0 + 2) {
        readPending = false;
        if (!FinishRead(&readOv, buffer, sizeof buffer, &read) ||
            !(readPending = ArmRead(&readOv, buffer, sizeof buffer, &read))) {
          postReaderError = true;
          break;
        }
      } else {
        postReaderError = true;
        break;
      }
    }
  }
  // An arming call that gave up only because a stop was requested is a normal
  // close, not a reader failure.
  if (postReaderError && !StopRequested()) PostStatus(LINK_STATUS_ERROR, LINK_ERR_READER);

  PurgeComm(m_hPort, PURGE_RXABORT | PURGE_RXCLEAR);
  DWORD ignored;
  if (readPending) {
    // The aborted read keeps what it had already taken off the line, waiting
    // for more or for the gap that would have ended it: those bytes came
    // back, and the owner gets them as it would have a moment later.
    DWORD taken = 0;
    GetOverlappedResult(m_hPort, &readOv, &taken, TRUE);
    Deliver(buffer, taken);
  }
  if (linePending) {
    // A new mask completes the pending wait; then it no longer refers to lineOv or mask.
    SetCommMask(m_hPort, 0);
    GetOverlappedResult(m_hPort, &lineOv, &ignored, TRUE);
  }
  if (readOv.hEvent) CloseHandle(readOv.hEvent);
  if (lineOv.hEvent) CloseHandle(lineOv.hEvent);
  m_dwReaderId = 0;
  m_hReader = nullptr;
  return 0;
}

int CSerialLink::ArmRead(OVERLAPPED* ov, BYTE* buffer, DWORD size, DWORD* read) {
  while (WaitForSingleObject(m_hStop, 0) == WAIT_TIMEOUT) {
    *read = 0;
    if (ReadFile(m_hPort, buffer, size, read, ov)) {
      // Bytes the driver already held: deliver them and start the next read.
      if (!Deliver(buffer, *read)) return 0;
      continue;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) return 1;
    // A read that fails may have taken bytes off the line first (the far end
    // sent them and hung up): they reach the owner before the failure does.
    Deliver(buffer, *read);
    if (error != ERROR_INVALID_HANDLE) PostStatus(LINK_STATUS_ERROR, LINK_ERR_READER);
    return 0;
  }
  return 0;
}

int CSerialLink::FinishRead(OVERLAPPED* ov, BYTE* buffer, DWORD /*size: the buffer the read was armed with*/, DWORD* read) {
  *read = 0;
  if (!GetOverlappedResult(m_hPort, ov, read, FALSE)) {
    const DWORD error = GetLastError();
    Deliver(buffer, *read);  // what the failed read took, as in ArmRead
    PostStatus(LINK_STATUS_ERROR, error == ERROR_INVALID_HANDLE ? LINK_ERR_BAD_HANDLE : LINK_ERR_READER);
    return 0;
  }
  return Deliver(buffer, *read);
}

int CSerialLink::Deliver(const BYTE* bytes, DWORD count) {
  if (count == 0) return 1;
  BYTE* block = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, count));
  if (!block) {
    PostStatus(LINK_STATUS_ERROR, LINK_ERR_READER);
    return 0;
  }
  std::memcpy(block, bytes, count);
  if (!PostWhenRoom(block, count)) {
    // Stopped while waiting for room, or the owner window is gone: nobody
    // will take the block.
    LocalFree(block);
    return StopRequested() ? 0 : 1;
  }
  return 1;
}

// Posts a received block, waiting while the owner's queue is full: the dialog
// has fallen behind, and the bytes must not be dropped. Meanwhile nothing more
// is read, so the device's own buffers and flow control hold the line back,
// or its overrun counter reports what the line lost. A stop request ends the
// wait at once, so Close stays prompt.
bool CSerialLink::PostWhenRoom(BYTE* block, DWORD count) {
  constexpr DWORD kRetryMs = 2;
  for (;;) {
    if (PostMessageA(m_hOwner, WM_LINK_DATA, reinterpret_cast<WPARAM>(block), static_cast<LPARAM>(count)))
      return true;
    if (GetLastError() != ERROR_NOT_ENOUGH_QUOTA) return false;
    if (WaitForSingleObject(m_hStop, kRetryMs) != WAIT_TIMEOUT) return false;
  }
}

int CSerialLink::ArmLineEvent(OVERLAPPED* ov, DWORD* mask) {
  while (WaitForSingleObject(m_hStop, 0) == WAIT_TIMEOUT) {
    if (WaitCommEvent(m_hPort, mask, ov)) {
      if (!FinishLineEvent(nullptr, mask, FALSE)) return 0;
      continue;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) return 1;
    if (error == ERROR_INVALID_HANDLE) PostStatus(LINK_STATUS_ERROR, LINK_ERR_BAD_HANDLE);
    return 0;
  }
  return 0;
}

int CSerialLink::FinishLineEvent(OVERLAPPED* ov, DWORD* mask, BOOL waited) {
  char* block = static_cast<char*>(LocalAlloc(LMEM_ZEROINIT, kDescriptionSize));
  if (!block) {
    PostStatus(LINK_STATUS_ERROR, LINK_ERR_READER);
    return 0;
  }
  DWORD count = 0;
  if (waited && !GetOverlappedResult(m_hPort, ov, &count, FALSE)) {
    PostStatus(LINK_STATUS_ERROR, GetLastError() == ERROR_INVALID_HANDLE ? LINK_ERR_BAD_HANDLE : LINK_ERR_READER);
    LocalFree(block);
    return 0;
  }
  if (!(*mask & EV_ERR)) {
    PostStatus(LINK_STATUS_ERROR, LINK_ERR_LINE_EVENT);
    LocalFree(block);
    return 0;
  }
  DWORD errors = 0;
  if (!ClearCommError(m_hPort, &errors, nullptr)) {
    PostStatus(LINK_STATUS_ERROR, GetLastError() == ERROR_INVALID_HANDLE ? LINK_ERR_BAD_HANDLE : LINK_ERR_LINE_EVENT);
    LocalFree(block);
    return 0;
  }

  // One an earlier clear already took leaves nothing to count.
  if (errors) {
    ++m_nLineErrors;
    m_dwLineErrorKinds |= errors;
  }

  // The description of the line error goes to the diagnostic output.
  char text[128] = "";
  auto add = [&text](const char* what) {
    if (text[0]) std::strcat(text, " and ");
    std::strcat(text, what);
  };
  if (errors == 0) add("NULL Error");
  if (errors & CE_FRAME) add("CE_FRAME");
  if (errors & CE_OVERRUN) add("CE_OVERRUN");
  if (errors & CE_RXPARITY) add("CE_RXPARITY");
  if (errors & 0xFFFFFFF1u) add("EV_ERR Unknown EvtMask");
  wsprintfA(block, "Comm Event: '%s', EvtMask = '%lx'\n", text, errors);
  std::fputs(block, stderr);
  LocalFree(block);
  return 1;
}
