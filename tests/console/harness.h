// Drives the real CExerciserDlg on Qt's offscreen platform, as a user would:
// the test body runs inside the dialog's modal loop.
#pragma once

#include "support/message_boxes.h"

#include "console/ExerciserDlg.h"
#include "framework/afxwin.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace vx::test {

// Handles events until `done` holds or `ms` pass; false on time-out.
bool WaitUntil(const std::function<bool()>& done, int ms = 10000);

template <class T>
T* Control(CDialog& dlg, int id) {
  CWnd* item = dlg.GetDlgItem(id);
  return item ? qobject_cast<T*>(item->widget()) : nullptr;
}

std::string Text(CDialog& dlg, int id);
void SetText(CDialog& dlg, int id, const std::string& text);   // as the program would
void Type(CDialog& dlg, int id, const std::string& text);      // as a user would
void Click(CDialog& dlg, int id);

// Runs `body` inside the modal loop of a fresh main dialog, then quits it if
// the body has not ended it. Returns DoModal's result.
// Any other dialog that goes modal meanwhile (the About box) is handed to
// `others`, inside its own modal loop.
int RunMainDialog(const std::function<void(CExerciserDlg&)>& body,
                  const std::function<void(CDialog&)>& others = nullptr);

std::string WriteTempFile(const std::string& content);

}  // namespace vx::test
