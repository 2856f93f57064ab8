// Received data and link status, as the link's threads post them.
#include "console/ExerciserDlg.h"

#include <cstring>

LRESULT CExerciserDlg::OnLinkData(WPARAM wParam, LPARAM lParam) {
  const char* block = reinterpret_cast<const char*>(wParam);
  DWORD count = static_cast<DWORD>(lParam);

  m_nReceived += count;
  // After a failure "ERROR" stays up until the next Start; the count goes on.
  if (!m_bLinkFailed) m_editStatus.SetWindowText(FormatStatistics());
  // A zero byte ends the text the box takes from this block. The bytes are
  // added at the end of the box: the cost does not grow with what it holds.
  std::size_t shown = strnlen(block, count);
  m_editReceived.SetSel(-1, -1, TRUE);
  m_editReceived.ReplaceSel(CString(block, static_cast<int>(shown)));
  LocalFree(reinterpret_cast<HLOCAL>(wParam));
  return 0;
}

LRESULT CExerciserDlg::OnLinkStatus(WPARAM wParam, LPARAM) {
  switch (wParam) {
    case LINK_STATUS_ERROR:
      // A line that died ends the transfer, as at the end of a file that is
      // not repeated, rather than go on counting packets nobody can send.
      ShowFailure();
      EndTransfer();
      break;
    // A Start that failed keeps its ERROR until the next Start: these may
    // have been posted before it showed (for the port it opened before its
    // file failed, for the old link it closed) and come after.
    case LINK_STATUS_CONNECTED:
      if (!m_bStartFailed) m_editStatus.SetWindowText("Connected");
      break;
    case LINK_STATUS_DISCONNECTED:
      if (!m_bStartFailed) m_editStatus.SetWindowText("Disconnected");
      break;
    default:
      break;
  }
  return 0;
}
