#include "tools/runner_dlg.h"

#include <algorithm>

BEGIN_MESSAGE_MAP(CRunnerDlg, CExerciserDlg)
  ON_MESSAGE(WM_LINK_DATA, OnRunnerLinkData)
  ON_MESSAGE(WM_LINK_STATUS, OnRunnerLinkStatus)
END_MESSAGE_MAP()

LRESULT CRunnerDlg::OnRunnerLinkData(WPARAM wParam, LPARAM lParam) {
  // Every byte that comes back was sent before it: what the link has accepted
  // so far bounds what these bytes can match.
  m_comparator.SetSent(m_nWritten);
  m_comparator.Feed(reinterpret_cast<const std::uint8_t*>(wParam), static_cast<std::size_t>(lParam));
  constexpr std::size_t kFirstBytesKept = 80;  // a Telnet greeting, or a server's one-line refusal
  if (m_firstBytes.size() < kFirstBytesKept)
    m_firstBytes.append(reinterpret_cast<const char*>(wParam),
                        std::min<std::size_t>(static_cast<std::size_t>(lParam), kFirstBytesKept - m_firstBytes.size()));
  return CExerciserDlg::OnLinkData(wParam, lParam);  // counts, shows and frees the block
}

LRESULT CRunnerDlg::OnRunnerLinkStatus(WPARAM wParam, LPARAM lParam) {
  if (wParam == LINK_STATUS_ERROR) m_bErrorReported = true;
  return CExerciserDlg::OnLinkStatus(wParam, lParam);
}
