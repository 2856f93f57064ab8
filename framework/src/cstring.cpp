// CString: 8-bit text.
#include "framework/afxwin.h"

#include <cstring>

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

LPSTR CString::GetBuffer(int minLength) {
  if (minLength > GetLength()) s_.resize(static_cast<std::size_t>(minLength));
  return s_.data();
}

void CString::ReleaseBuffer(int newLength) {
  s_.resize(newLength < 0 ? std::strlen(s_.c_str()) : static_cast<std::size_t>(newLength));
}

int WINAPI LoadStringA(HINSTANCE, UINT id, LPSTR buffer, int size) {
  const auto* module = vx::fw::ResourceModule();
  const char* text = module ? module->FindString(id) : nullptr;
  if (!text || !buffer || size <= 0) return 0;
  int n = static_cast<int>(std::strlen(text));
  if (n > size - 1) n = size - 1;
  std::memcpy(buffer, text, static_cast<std::size_t>(n));
  buffer[n] = '\0';
  return n;
}
