// Ordinary files behind handles.
#pragma once

#include "kernel.h"

namespace vx::kernel {

class FileObject final : public Object {
 public:
  ~FileObject() override;
  DWORD FileType() const override;
  // Synchronous, whatever the OVERLAPPED: a file operation never has to wait.
  BOOL Read(void* buffer, DWORD size, DWORD* read, OVERLAPPED* ov) override;
  BOOL Write(const void* buffer, DWORD size, DWORD* written, OVERLAPPED* ov) override;
  int fd = -1;
  DWORD type = FILE_TYPE_DISK;
};

}  // namespace vx::kernel
