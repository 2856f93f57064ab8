// CreateFileA, ReadFile, WriteFile, SetFilePointer, GetFileType for ordinary
// files. Names of ports are the comm part's to open; every object reads and
// writes through its own interface.
#include "comm/port.h"
#include "faults.h"
#include "files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx::kernel {

FileObject::~FileObject() {
  if (fd >= 0) ::close(fd);
}

namespace {

// Completes an operation on an OVERLAPPED at once, as Windows does for a file
// operation that did not need to wait.
void CompleteNow(LPOVERLAPPED ov, DWORD status, DWORD count) {
  if (!ov) return;
  ov->InternalHigh = count;
  ov->Internal = status;
  if (ov->hEvent) SetEvent(ov->hEvent);
}

}  // namespace

BOOL FileObject::Read(void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ov) {
  if (!buffer && toRead) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (read) *read = 0;
  ssize_t n;
  do {
    n = ::read(fd, buffer, toRead);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail(ErrnoToWin32(errno), FALSE);
  if (read) *read = static_cast<DWORD>(n);
  CompleteNow(ov, ERROR_SUCCESS, static_cast<DWORD>(n));
  return TRUE;
}

BOOL FileObject::Write(const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ov) {
  if (!buffer && toWrite) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (written) *written = 0;
  DWORD done = 0;
  while (done < toWrite) {
    ssize_t n = ::write(fd, static_cast<const char*>(buffer) + done, toWrite - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(ErrnoToWin32(errno), FALSE);
    done += static_cast<DWORD>(n);
  }
  if (written) *written = done;
  CompleteNow(ov, ERROR_SUCCESS, done);
  return TRUE;
}

DWORD FileObject::FileType() const { return type; }

}  // namespace vx::kernel

using namespace vx::kernel;

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD creation, DWORD flags,
                          HANDLE) {
  CheckTerminated();
  if (auto f = vx::fault::Check("CreateFileA")) return Fail(f.error, INVALID_HANDLE_VALUE);
  if (!name) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (!*name) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);

  HANDLE port;
  if (vx::comm::OpenPort(name, &port)) return port;

  bool wantsWrite = access & (GENERIC_WRITE | GENERIC_ALL);
  bool wantsRead = access & (GENERIC_READ | GENERIC_ALL);
  int mode = wantsWrite ? (wantsRead ? O_RDWR : O_WRONLY) : O_RDONLY;
  int oflags = mode | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  switch (creation) {
    case CREATE_NEW: oflags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: oflags |= O_CREAT | O_TRUNC; break;
    case OPEN_ALWAYS: oflags |= O_CREAT; break;
    case TRUNCATE_EXISTING: oflags |= O_TRUNC; break;
    case OPEN_EXISTING: break;
    default: return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  int fd = ::open(name, oflags, 0666);
  if (fd < 0) return Fail(ErrnoToWin32(errno), INVALID_HANDLE_VALUE);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    return Fail(ErrnoToWin32(e), INVALID_HANDLE_VALUE);
  }
  if (S_ISDIR(st.st_mode)) {  // Windows refuses a directory without backup semantics
    ::close(fd);
    return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  }
  // Ordinary files and pipes are read and written synchronously.
  int fl = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  auto file = std::make_shared<FileObject>();
  file->fd = fd;
  file->type = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) ? FILE_TYPE_DISK : FILE_TYPE_PIPE;
  return InsertHandle(file);
}

namespace {

// ReadFile's and WriteFile's common steps, then the object's own way.
template <class Move>
BOOL MoveBytes(const char* call, HANDLE h, Move move) {
  CheckTerminated();
  if (auto f = vx::fault::Check(call)) return Fail(f.error, FALSE);
  auto object = LookupHandle(h);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return move(*object);
}

}  // namespace

BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED ov) {
  return MoveBytes("ReadFile", h, [&](Object& o) { return o.Read(buffer, toRead, read, ov); });
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED ov) {
  return MoveBytes("WriteFile", h, [&](Object& o) { return o.Write(buffer, toWrite, written, ov); });
}

DWORD WINAPI SetFilePointer(HANDLE h, LONG distance, PLONG distanceHigh, DWORD method) {
  CheckTerminated();
  if (auto f = vx::fault::Check("SetFilePointer")) return Fail(f.error, INVALID_SET_FILE_POINTER);
  auto file = Lookup<FileObject>(h);
  if (!file) return Fail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
  off_t offset = distanceHigh ? static_cast<off_t>((static_cast<std::uint64_t>(static_cast<DWORD>(*distanceHigh)) << 32) |
                                                   static_cast<DWORD>(distance))
                              : static_cast<off_t>(distance);
  int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : method == FILE_END ? SEEK_END : -1;
  if (whence < 0) return Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  off_t at = ::lseek(file->fd, offset, whence);
  if (at < 0) return Fail(errno == EINVAL ? DWORD(131) /* ERROR_NEGATIVE_SEEK */ : ErrnoToWin32(errno),
                          INVALID_SET_FILE_POINTER);
  if (distanceHigh) *distanceHigh = static_cast<LONG>(static_cast<std::uint64_t>(at) >> 32);
  SetLastError(NO_ERROR);
  return static_cast<DWORD>(at);
}

DWORD WINAPI GetFileType(HANDLE h) {
  CheckTerminated();
  if (auto f = vx::fault::Check("GetFileType")) return Fail(f.error, DWORD(FILE_TYPE_UNKNOWN));
  auto object = LookupHandle(h);
  if (!object) return Fail(ERROR_INVALID_HANDLE, DWORD(FILE_TYPE_UNKNOWN));
  SetLastError(NO_ERROR);
  return object->FileType();
}
