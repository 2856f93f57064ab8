// The main dialog: settings, the paced transfer, the received data and status,
// and the window chrome.
#pragma once

#include "framework/afxwin.h"
#include "link/SerialLink.h"
#include "res/resource.h"

#define TRANSFER_TIMER_ID 1

class CExerciserDlg : public CDialog {
 public:
  explicit CExerciserDlg(CWnd* pParent = nullptr);

  CEdit m_editReceived;
  CEdit m_editFilePath;
  CEdit m_editStatus;
  CString m_strFilePath;
  CString m_strPortName;
  UINT m_nPacketSize;
  BOOL m_bStressTest;
  HANDLE m_hSourceFile;
  // 64 bits: a soak run passes 4 GiB in about half an hour at full pace.
  ULONGLONG m_nReceived;
  ULONGLONG m_nWritten;
  DWORD m_dwStartTick;
  DWORD m_nDrainTicks;
  HICON m_hIcon;
  CSerialLink* m_pLink;
  // The link has reported ERROR (or the port or file could not be opened):
  // the status box keeps the word, and the next Start opens the port afresh.
  BOOL m_bLinkFailed;
  // Start itself failed (the port or the file could not be opened): the
  // words links post about opening and closing, posted before the failure
  // was shown, do not replace its ERROR.
  BOOL m_bStartFailed;
  // A read of the file failed mid-transfer: the transfer ended short, as
  // ERROR shows.
  BOOL m_bSourceFailed;
  // Why the port could not be opened at the last Start (GetLastError), for
  // whoever drives the dialog: the window itself shows only ERROR.
  DWORD m_dwOpenError;

  // The statistics line from the current counters.
  CString FormatStatistics();

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;

  void OnSysCommand(UINT nID, LPARAM lParam);
  void OnPaint();
  HCURSOR OnQueryDragIcon();
  void OnStart();
  void OnQuit();
  void OnTimer(UINT nIDEvent);
  void OnBrowse();
  void OnEditchangePortName();
  void OnCancelMode();
  LRESULT OnLinkData(WPARAM wParam, LPARAM lParam);
  LRESULT OnLinkStatus(WPARAM wParam, LPARAM lParam);

  // Closes the link and takes in the blocks it received before it ended.
  void CloseLink();

  DECLARE_MESSAGE_MAP()

 private:
  static HANDLE OpenSource(const CString& path);
  void TakeDataOfClosedLink();
  void ForgetFailuresOfClosedLink();
  void EndTransfer();
  void ShowFailure();
};
