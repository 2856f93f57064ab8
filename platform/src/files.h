// Ordinary files behind handles.
#pragma once

#include "kernel.h"

namespace vx::kernel {

class FileObject final : public Object {
 public:
  ~FileObject() override;
  DWORD FileType() const override;
  int fd = -1;
  DWORD type = FILE_TYPE_DISK;
};

}  // namespace vx::kernel
