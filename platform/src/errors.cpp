// Translating POSIX failures into the Win32 codes callers of this layer test for.
#include "kernel.h"

#include <cerrno>

namespace vx::kernel {

DWORD ErrnoToWin32(int e) {
  switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case ENXIO:
    case ENODEV: return ERROR_FILE_NOT_FOUND;
    case EIO: return ERROR_GEN_FAILURE;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ECONNREFUSED: return ERROR_CONNECTION_REFUSED;
    case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
    case ECONNRESET:
    case ENOTCONN: return ERROR_DEVICE_NOT_CONNECTED;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace vx::kernel
