// The exerciser's main dialog as the runner drives it: every block the link
// delivers goes to the comparator, raw, before the dialog shows it (the
// display stops at a zero byte, the comparator must not), and an ERROR from
// the link is noted when it comes, not read back from the status box.
#pragma once

#include "console/ExerciserDlg.h"
#include "platform/hooks.h"
#include "tools/stream_comparator.h"

#include <string>

class CRunnerDlg : public CExerciserDlg {
 public:
  explicit CRunnerDlg(vx::tools::StreamComparator& comparator) : m_comparator(comparator) {}

  bool LinkFailed() const { return m_bErrorReported; }
  // The first bytes that came back (up to 80), as they came.
  const std::string& FirstBytes() const { return m_firstBytes; }
  // Bytes that have come back: those delivered, and those the link's pending
  // read has taken off the line. It delivers them only at 2048 or after a
  // 20 ms gap, so a steady line slower than that shows nowhere else (at
  // 1200 baud, for 17 s a block); briefly short of the last figure while a
  // completed block is on its way to the dialog.
  ULONGLONG BytesArrived() const {
    return m_nReceived + (m_pLink ? vx::PendingReadBytes(m_pLink->PortHandle()) : 0);
  }
  // Stops the pacing timer: nothing more is read from the file or sent.
  void StopSending() { ::KillTimer(m_hWnd, TRANSFER_TIMER_ID); }
  // Ends the link before the verdict, taking in every block it still held:
  // its last read waits for 2048 bytes or a 20 ms gap, and a line that keeps
  // trickling holds back bytes that no quiet spell ever shows. Returns the
  // bytes that went out to the port, which a line that stopped taking them
  // leaves short of the count of bytes the link accepted.
  ULONGLONG EndLink() {
    ULONGLONG written = 0;
    if (m_pLink) {
      m_pLink->Close();
      written = m_pLink->BytesWritten();
      m_lineErrors = m_pLink->LineErrors();
      m_lineErrorKinds = m_pLink->LineErrorKinds();
    }
    CloseLink();
    return written;
  }
  // The line errors the link's port reported, as EndLink found them.
  DWORD LineErrors() const { return m_lineErrors; }
  DWORD LineErrorKinds() const { return m_lineErrorKinds; }

 protected:
  LRESULT OnRunnerLinkData(WPARAM wParam, LPARAM lParam);
  LRESULT OnRunnerLinkStatus(WPARAM wParam, LPARAM lParam);

  DECLARE_MESSAGE_MAP()

 private:
  vx::tools::StreamComparator& m_comparator;
  bool m_bErrorReported = false;  // the link itself said ERROR (the base also counts a failed open)
  std::string m_firstBytes;
  DWORD m_lineErrors = 0;
  DWORD m_lineErrorKinds = 0;
};
