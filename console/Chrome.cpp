// The dialog's chrome: system menu and About box, icons, the file chooser.
#include "console/AboutDlg.h"
#include "console/ExerciserDlg.h"

BOOL CExerciserDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  CMenu* pSysMenu = GetSystemMenu(FALSE);
  if (pSysMenu) {
    CString strAboutMenu;
    strAboutMenu.LoadString(IDS_ABOUTBOX);
    if (!strAboutMenu.IsEmpty()) {
      pSysMenu->AppendMenu(MF_SEPARATOR);
      pSysMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, strAboutMenu);
    }
  }

  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);
  return TRUE;
}

void CExerciserDlg::OnSysCommand(UINT nID, LPARAM lParam) {
  if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
    CAboutDlg dlgAbout;
    dlgAbout.DoModal();
  } else {
    CDialog::OnSysCommand(nID, lParam);
  }
}

void CExerciserDlg::OnPaint() {
  if (IsIconic()) {
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);

    int cxIcon = GetSystemMetrics(SM_CXICON);
    int cyIcon = GetSystemMetrics(SM_CYICON);
    CRect rect;
    GetClientRect(&rect);
    int x = (rect.Width() - cxIcon + 1) / 2;
    int y = (rect.Height() - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
  } else {
    CDialog::OnPaint();
  }
}

HCURSOR CExerciserDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CExerciserDlg::OnBrowse() {
  CFileDialog dlg(TRUE, nullptr, "*.*", 0, "All Files (*.*)|*.*||", this);
  if (dlg.DoModal() == IDOK) {
    m_editFilePath.SetWindowText(dlg.GetPathName());
    UpdateData(TRUE);
  }
}

void CExerciserDlg::OnCancelMode() { CDialog::OnCancelMode(); }
