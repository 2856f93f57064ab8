#include "tools/runner_dlg.h"

BEGIN_MESSAGE_MAP(CRunnerDlg, CExerciserDlg)
  ON_MESSAGE(WM_LINK_DATA, OnRunnerLinkData)
  ON_MESSAGE(WM_LINK_STATUS, OnRunnerLinkStatus)
END_MESSAGE_MAP()

LRESULT CRunnerDlg::OnRunnerLinkData(WPARAM wParam, LPARAM lParam) {
  // Every byte that comes back was sent before it: what the link has accepted
  // so far bounds what these bytes can match.
  m_comparator.SetSent(m_nWritten);
  m_comparator.Feed(reinterpret_cast<const std::uint8_t*>(wParam), static_cast<std::size_t>(lParam));
  return CExerciserDlg::OnLinkData(wParam, lParam);  // counts, shows and frees the block
}

LRESULT CRunnerDlg::OnRunnerLinkStatus(WPARAM wParam, LPARAM lParam) {
  if (wParam == LINK_STATUS_ERROR) m_bErrorReported = true;
  return CExerciserDlg::OnLinkStatus(wParam, lParam);
}
