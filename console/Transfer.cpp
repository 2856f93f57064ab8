// The paced transfer: Start, the timer tick, Quit, and the statistics line.
#include "console/ExerciserDlg.h"

namespace {
constexpr DWORD kDrainAllowanceTicks = 1000;
constexpr DWORD kStartPauseMs = 100;
}  // namespace

void CExerciserDlg::OnStart() {
  UpdateData(TRUE);  // a failed field has shown its message; go on with what is stored

  if (!m_pLink && !m_strPortName.IsEmpty()) {
    m_pLink = new CSerialLink(m_hWnd);
    HANDLE port = CreateFileA(m_strPortName, GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE || !m_pLink->Open(port)) {
      // A port that cannot be opened is a failure to show, not a transfer to
      // run with nothing sent. The unopened link goes, so the next Start tries
      // again with the name shown then.
      m_pLink->Close();
      delete m_pLink;
      m_pLink = nullptr;
      m_editStatus.SetWindowText("ERROR");
      return;
    }
  }
  if (!m_pLink) return;

  m_dwStartTick = GetTickCount();
  m_nReceived = 0;
  m_nWritten = 0;

  if (m_hSourceFile != INVALID_HANDLE_VALUE) CloseHandle(m_hSourceFile);
  m_hSourceFile = CreateFileA(m_strFilePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (m_hSourceFile == INVALID_HANDLE_VALUE) return;

  Sleep(kStartPauseMs);
  m_editReceived.SetWindowText("");
  m_nDrainTicks = kDrainAllowanceTicks;
  ::SetTimer(m_hWnd, TRANSFER_TIMER_ID, 1, nullptr);
}

void CExerciserDlg::OnTimer(UINT) {
  if (m_hSourceFile != INVALID_HANDLE_VALUE && !m_pLink) {
    // The port name was edited during the transfer and the link went with it:
    // the transfer ends here, as at the end of a file that is not repeated.
    CloseHandle(m_hSourceFile);
    m_hSourceFile = INVALID_HANDLE_VALUE;
  }
  if (m_hSourceFile != INVALID_HANDLE_VALUE) {
    DWORD n = 0;
    void* block = LocalAlloc(LMEM_ZEROINIT, m_nPacketSize);
    if (block) ReadFile(m_hSourceFile, block, m_nPacketSize, &n, nullptr);

    if (n > 0) {
      if (!m_pLink->Send(block, n)) LocalFree(block);
      m_nWritten += n;
      m_editStatus.SetWindowText(FormatStatistics());
    } else {
      LocalFree(block);
      if (m_nWritten != m_nReceived && m_nDrainTicks > 0) {
        --m_nDrainTicks;
      } else if (m_bStressTest) {
        SetFilePointer(m_hSourceFile, 0, nullptr, FILE_BEGIN);
        m_editReceived.SetWindowText("");
      } else {
        CloseHandle(m_hSourceFile);
        m_hSourceFile = INVALID_HANDLE_VALUE;
      }
    }
  }
  Default();
}

void CExerciserDlg::OnQuit() {
  if (m_pLink) {
    ::KillTimer(m_hWnd, TRANSFER_TIMER_ID);
    m_pLink->Close();
    delete m_pLink;
    m_pLink = nullptr;
  }
  if (m_hSourceFile != INVALID_HANDLE_VALUE) {
    CloseHandle(m_hSourceFile);
    m_hSourceFile = INVALID_HANDLE_VALUE;
  }
  CDialog::OnCancel();
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
