// The application object: runs the main dialog modally, then ends.
#pragma once

#include "framework/afxwin.h"

class CExerciserApp : public CWinApp {
 public:
  CExerciserApp();
  BOOL InitInstance() override;

  DECLARE_MESSAGE_MAP()
};
