// The paced transfer: Start, the timer tick, Quit, and the statistics line.
#include "console/ExerciserDlg.h"

#include <vector>

namespace {
constexpr DWORD kDrainAllowanceTicks = 1000;
constexpr DWORD kStartPauseMs = 100;
}  // namespace

void CExerciserDlg::OnStart() {
  UpdateData(TRUE);  // a failed field has shown its message; go on with what is stored

  // A link that has reported ERROR holds a dead port (the device went away,
  // the far end hung up): open the shown name afresh, as after an edit of it.
  if (m_pLink && m_bLinkFailed) CloseLink();
  m_bLinkFailed = FALSE;
  m_bStartFailed = FALSE;
  m_bSourceFailed = FALSE;

  if (!m_pLink && !m_strPortName.IsEmpty()) {
    m_pLink = new CSerialLink(m_hWnd);
    HANDLE port = CreateFileA(m_strPortName, GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE || !m_pLink->Open(port)) {
      m_dwOpenError = GetLastError();
      // A port that cannot be opened is a failure to show, not a transfer to
      // run with nothing sent. The unopened link goes, so the next Start tries
      // again with the name shown then.
      CloseLink();
      ShowFailure();
      m_bStartFailed = TRUE;
      return;
    }
  }
  if (!m_pLink) return;

  m_dwStartTick = GetTickCount();
  m_nReceived = 0;
  m_nWritten = 0;

  if (m_hSourceFile != INVALID_HANDLE_VALUE) CloseHandle(m_hSourceFile);
  m_hSourceFile = OpenSource(m_strFilePath);
  if (m_hSourceFile == INVALID_HANDLE_VALUE) {
    ShowFailure();
    m_bStartFailed = TRUE;
    return;
  }

  Sleep(kStartPauseMs);
  m_editReceived.SetWindowText("");
  m_nDrainTicks = kDrainAllowanceTicks;
  ::SetTimer(m_hWnd, TRANSFER_TIMER_ID, 1, nullptr);
}

// The file to send, or INVALID_HANDLE_VALUE. Only what the timer can read
// without waiting qualifies: a disk file, or a device such as /dev/urandom. A
// pipe or socket would hold the user-interface thread in its read until a
// writer turned up.
HANDLE CExerciserDlg::OpenSource(const CString& path) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  DWORD type = GetFileType(file);
  if (type != FILE_TYPE_DISK && type != FILE_TYPE_CHAR) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

void CExerciserDlg::OnTimer(UINT) {
  if (m_hSourceFile != INVALID_HANDLE_VALUE && !m_pLink) {
    // The port name was edited during the transfer and the link went with it:
    // the transfer ends here, as at the end of a file that is not repeated.
    EndTransfer();
  }
  if (m_hSourceFile != INVALID_HANDLE_VALUE) {
    DWORD n = 0;
    void* block = LocalAlloc(LMEM_ZEROINIT, m_nPacketSize);
    const bool readFailed = block && !ReadFile(m_hSourceFile, block, m_nPacketSize, &n, nullptr);

    if (n > 0) {
      if (m_pLink->Send(block, n)) {
        m_nWritten += n;
      } else {
        // Refused (the writer is behind or gone): neither counted nor
        // skipped. The same bytes are offered again at the next tick, so a
        // line slower than the pacing gets the whole file at its own pace.
        LocalFree(block);
        SetFilePointer(m_hSourceFile, -static_cast<LONG>(n), nullptr, FILE_CURRENT);
      }
      m_editStatus.SetWindowText(FormatStatistics());
    } else {
      LocalFree(block);
      if (readFailed) {
        // The file cannot be read on (a disk error, a device gone): that is
        // a failure to show, not an end of a file it never reached, nor, in
        // stress mode, a pass to start again at every tick.
        m_bSourceFailed = TRUE;
        ShowFailure();
        EndTransfer();
      } else if (m_nWritten != m_nReceived && m_nDrainTicks > 0) {
        --m_nDrainTicks;
      } else if (m_bStressTest) {
        SetFilePointer(m_hSourceFile, 0, nullptr, FILE_BEGIN);
        m_editReceived.SetWindowText("");
      } else {
        EndTransfer();
      }
    }
  }
  Default();
}

void CExerciserDlg::OnQuit() {
  if (m_pLink) {
    ::KillTimer(m_hWnd, TRANSFER_TIMER_ID);
    CloseLink();
  }
  EndTransfer();
  CDialog::OnCancel();
}

// A new port name means a new link at the next Start; the timer and the file
// are left alone (the next tick ends the transfer, having no link).
void CExerciserDlg::OnEditchangePortName() { CloseLink(); }

void CExerciserDlg::CloseLink() {
  if (!m_pLink) return;
  m_pLink->Close();
  delete m_pLink;
  m_pLink = nullptr;
  TakeDataOfClosedLink();
  ForgetFailuresOfClosedLink();
}

// The blocks the closed link posted before it ended (its last read, cut
// short by the close, among them) came back on the line: they are counted
// and shown now, not after a new Start has set the counts to zero, and not
// lost with the window when this is Quit.
void CExerciserDlg::TakeDataOfClosedLink() {
  MSG msg;
  while (PeekMessageA(&msg, m_hWnd, WM_LINK_DATA, WM_LINK_DATA, PM_REMOVE)) DispatchMessageA(&msg);
}

// An ERROR the closed link posted and this window has not yet handled tells
// nothing about the next link: handled after the next Start, it would end a
// healthy transfer. The other status words keep their place in the queue.
void CExerciserDlg::ForgetFailuresOfClosedLink() {
  std::vector<MSG> keep;
  MSG msg;
  while (PeekMessageA(&msg, m_hWnd, WM_LINK_STATUS, WM_LINK_STATUS, PM_REMOVE))
    if (msg.wParam != LINK_STATUS_ERROR) keep.push_back(msg);
  for (const MSG& m : keep) PostMessageA(m_hWnd, m.message, m.wParam, m.lParam);
}

// The file is closed: nothing more is read or counted as written.
void CExerciserDlg::EndTransfer() {
  if (m_hSourceFile == INVALID_HANDLE_VALUE) return;
  CloseHandle(m_hSourceFile);
  m_hSourceFile = INVALID_HANDLE_VALUE;
}

// The one failure the window shows; it stays until the next Start.
void CExerciserDlg::ShowFailure() {
  m_bLinkFailed = TRUE;
  m_editStatus.SetWindowText("ERROR");
}

CString CExerciserDlg::FormatStatistics() {
  DWORD elapsed = GetTickCount() - m_dwStartTick;  // modulo 2^32: survives the wrap
  if (elapsed == 0) elapsed = 1;
  // Counts and rates in 64 bits, printed unsigned: below 2^32 the line reads
  // as it always has, above it the true figures show instead of wrapped ones.
  auto rate = [elapsed](ULONGLONG count) {
    // count * 1000 overflows only past 18 PB; divide first well before that.
    return count < (~0ull / 1000) ? count * 1000 / elapsed : count / elapsed * 1000;
  };
  char line[128];
  wsprintfA(line, "Received/Written Data size = %I64u/%I64u, Speed = %I64u/%I64u Bps", m_nReceived, m_nWritten,
            rate(m_nReceived), rate(m_nWritten));
  return CString(line);
}
