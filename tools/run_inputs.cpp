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
// Strict: no overlong forms, no surrogates, nothing past U+10FFFF.
bool IsUtf8(const std::string& name) {
  for (std::size_t i = 0; i < name.size();) {
    const auto c = static_cast<unsigned char>(name[i]);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the byte after the lead
    if (c < 0x80) length = 1;
    else if (c >= 0xC2 && c <= 0xDF) length = 2;
    else if (c >= 0xE0 && c <= 0xEF) length = 3, low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4) length = 4, low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
    if (length == 0 || i + length > name.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(name[i + k]);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return false;
    }
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
  if (::lstat(target.c_str(), &report) != 0) {
    // Nothing there: made to ask, and taken away again. Made exclusively, so
    // that only this file goes, never one another program made meanwhile.
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return "cannot write the report to " + quoted + ": " + std::strerror(errno);
    ::close(fd);
    ::unlink(target.c_str());
    return "";
  }
  // A link that leads nowhere is left alone: the report is made through it
  // at the end, as asked.
  if (::stat(target.c_str(), &report) != 0) return "";
  if (S_ISDIR(report.st_mode)) return "--json " + quoted + " is a directory: name a file in it";
  if (::stat(source.c_str(), &sent) == 0 && report.st_dev == sent.st_dev && report.st_ino == sent.st_ino)
    return "--json " + quoted + " is the file to send: the report would overwrite it";
  // Only a regular file is opened to ask: a named pipe's reader would take
  // the open and close for an empty report and go, and a device answers
  // only when written to.
  if (!S_ISREG(report.st_mode)) return "";
  const int fd = ::open(target.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return "cannot write the report to " + quoted + ": " + std::strerror(errno);
  ::close(fd);
  return "";
}

}  // namespace vx::tools
