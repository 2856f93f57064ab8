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
  // In 64 bits, so that counts past 4,294,967 bytes do not wrap the rate;
  // printed unsigned, so that no count or rate ever shows negative.
  auto rate = [elapsed](DWORD count) {
    unsigned long long r = static_cast<unsigned long long>(count) * 1000u / elapsed;
    return static_cast<DWORD>(r > 0xFFFFFFFFull ? 0xFFFFFFFFull : r);
  };
  char line[128];
  wsprintfA(line, "Received/Written Data size = %u/%u, Speed = %u/%u Bps", m_nReceived, m_nWritten, rate(m_nReceived),
            rate(m_nWritten));
  return CString(line);
}
