// CString: 8-bit text.
#include "framework/afxwin.h"

BOOL CString::LoadString(UINT id) {
  const auto* module = vx::fw::ResourceModule();
  const char* text = module ? module->FindString(id) : nullptr;
  if (!text) {
    s_.clear();
    return FALSE;
  }
  s_ = text;
  return TRUE;
}
