// The About box: its template's texts and an OK button, nothing of its own.
#pragma once

#include "framework/afxwin.h"

class CAboutDlg : public CDialog {
 public:
  CAboutDlg();

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  DECLARE_MESSAGE_MAP()
};
