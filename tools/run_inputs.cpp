#include "tools/run_inputs.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace vx::tools {

namespace {

// Whether `name` is valid UTF-8: the exerciser's window takes names through
// a text field, which holds Unicode text and cannot carry other bytes.
bool IsUtf8(const std::string& name) {
  for (std::size_t i = 0; i < name.size();) {
    const auto c = static_cast<unsigned char>(name[i]);
    const std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || (length == 2 && c < 0xC2) || i + length > name.size()) return false;
    for (std::size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(name[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

// Whether the file lives on a file system that makes its contents up as they
// are read (/proc, /sys and their kin): its size says nothing of what a read
// gives, and two reads may differ.
bool MadeUpAsRead(int fd, const struct stat& st) {
  struct statfs fs;
  if (fstatfs(fd, &fs) == 0) {
    switch (static_cast<unsigned long>(fs.f_type)) {
      case PROC_SUPER_MAGIC:
      case SYSFS_MAGIC:
      case DEBUGFS_MAGIC:
      case TRACEFS_MAGIC:
      case SECURITYFS_MAGIC:
      case CGROUP_SUPER_MAGIC:
      case CGROUP2_SUPER_MAGIC:
      case BPF_FS_MAGIC:
        return true;
      default:
        break;
    }
  }
  // Elsewhere, a file that says it is empty and yet has something to read.
  char byte;
  return st.st_size == 0 && ::pread(fd, &byte, 1, 0) == 1;
}

}  // namespace

std::string SourceFileProblem(const std::string& path) {
  const std::string quoted = "'" + path + "'";
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return "cannot read " + quoted + ": " + std::strerror(errno);
  // The file is read twice, by the dialog to send and by the runner to
  // compare: only a regular file gives the same bytes both times.
  if (!S_ISREG(st.st_mode)) return quoted + " is not a regular file";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "cannot read " + quoted + ": " + std::strerror(errno);
  const bool madeUp = MadeUpAsRead(fd, st);
  ::close(fd);
  if (madeUp)
    return quoted + " is made up by the system as it is read (its size is not what it holds, and it may read "
                    "differently each time): copy it to a regular file and send the copy";
  if (st.st_size == 0) return quoted + " is empty: there is nothing to send, and nothing would be tested";
  if (!IsUtf8(path))
    return "the name " + quoted + " is not UTF-8, which the exerciser's window needs for a file name: rename the "
           "file, or link it under a UTF-8 name";
  return "";
}

std::string ReportTargetProblem(const std::string& target, const std::string& source) {
  const std::string quoted = "'" + target + "'";
  struct stat report, sent;
  const bool exists = ::stat(target.c_str(), &report) == 0;
  if (exists && S_ISDIR(report.st_mode)) return "--json " + quoted + " is a directory: name a file in it";
  if (exists && ::stat(source.c_str(), &sent) == 0 && report.st_dev == sent.st_dev && report.st_ino == sent.st_ino)
    return "--json " + quoted + " is the file to send: the report would overwrite it";
  // Opened as it will be written, without truncating a report that is
  // there; a file made only to ask is taken away again.
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return "cannot write the report to " + quoted + ": " + std::strerror(errno);
  ::close(fd);
  if (!exists) ::unlink(target.c_str());
  return "";
}

}  // namespace vx::tools
