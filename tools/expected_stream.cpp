#include "tools/expected_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx::tools {

namespace {

// Serves [position, position + n) of `pass`-long passes, repeated or not,
// through `readAt(offsetInPass, out, count)`.
template <typename ReadAt>
std::size_t ReadPasses(std::uint64_t pass, bool repeat, std::uint64_t position, std::uint8_t* out, std::size_t n,
                       ReadAt readAt) {
  if (pass == 0) return 0;
  if (!repeat && position >= pass) return 0;
  std::size_t done = 0;
  while (done < n) {
    std::uint64_t at = (position + done) % pass;
    if (!repeat && position + done >= pass) break;
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, pass - at));
    std::size_t got = readAt(at, out + done, want);
    if (got == 0) break;
    done += got;
  }
  return done;
}

}  // namespace

FileStream::~FileStream() {
  if (fd_ >= 0) ::close(fd_);
}

bool FileStream::Open(const std::string& path, std::string* error) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  size_ = static_cast<std::uint64_t>(st.st_size);
  path_ = path;
  found_ = st;
  posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  return true;
}

namespace {
bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }
}  // namespace

bool FileStream::Changed() const {
  // Through the open descriptor: a file renamed or deleted meanwhile is still
  // the one both sides read, while one truncated or rewritten is not.
  struct stat now;
  if (fd_ < 0 || fstat(fd_, &now) != 0) return false;
  if (static_cast<std::uint64_t>(now.st_size) != size_ || !SameTime(now.st_mtim, found_.st_mtim)) return true;
  if (SameTime(now.st_ctim, found_.st_ctim)) return false;
  // The status changed, and nobody can set that time: written with its
  // modification time put back (cp -p, rsync -t), or only renamed, linked,
  // deleted, given another mode or owner, which leave the bytes alone. Those
  // show in the status itself, or in the name no longer naming this file.
  struct stat named;
  const bool stillNamed = stat(path_.c_str(), &named) == 0 && named.st_dev == now.st_dev && named.st_ino == now.st_ino;
  return stillNamed && now.st_nlink == found_.st_nlink && now.st_mode == found_.st_mode &&
         now.st_uid == found_.st_uid && now.st_gid == found_.st_gid;
}

std::size_t FileStream::Read(std::uint64_t position, std::uint8_t* out, std::size_t n) {
  return ReadPasses(size_, repeat_, position, out, n, [this](std::uint64_t at, std::uint8_t* to, std::size_t count) {
    for (;;) {
      ssize_t got = ::pread(fd_, to, count, static_cast<off_t>(at));
      if (got < 0 && errno == EINTR) continue;
      return got > 0 ? static_cast<std::size_t>(got) : std::size_t{0};
    }
  });
}

std::uint64_t CountInPass(ExpectedStream& stream, std::initializer_list<std::uint8_t> values) {
  bool wanted[256] = {};
  for (std::uint8_t v : values) wanted[v] = true;
  std::uint64_t count = 0;
  std::uint8_t block[65536];
  for (std::uint64_t at = 0; at < stream.PassLength();) {
    const std::size_t n = stream.Read(at, block, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof block, stream.PassLength() - at)));
    if (n == 0) break;
    for (std::size_t k = 0; k < n; ++k) count += wanted[block[k]];
    at += n;
  }
  return count;
}

std::size_t MemoryStream::Read(std::uint64_t position, std::uint8_t* out, std::size_t n) {
  return ReadPasses(bytes_.size(), repeat_, position, out, n, [this](std::uint64_t at, std::uint8_t* to, std::size_t count) {
    std::memcpy(to, bytes_.data() + at, count);
    return count;
  });
}

}  // namespace vx::tools
