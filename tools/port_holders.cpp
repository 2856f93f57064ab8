#include "tools/port_holders.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vx::tools {

namespace {

// The kernel's numbers for pseudo-terminals: the multiplexer every master is
// opened through (/dev/ptmx, /dev/pts/ptmx), and the majors of the slaves.
const dev_t kPtmx = makedev(5, 2);
constexpr unsigned kFirstSlaveMajor = 136, kSlaveMajors = 8;

// The number of the pseudo-terminal whose slave is `device` (the N of
// /dev/pts/N), or -1 when it is none.
long PtyIndex(dev_t device) {
  const unsigned m = major(device);
  if (m < kFirstSlaveMajor || m >= kFirstSlaveMajor + kSlaveMajors) return -1;
  return static_cast<long>((m - kFirstSlaveMajor) * 256 + minor(device));
}

// A number from a descriptor's fdinfo ("flags:" in octal, "tty-index:"),
// or -1 when the kernel does not say.
long FdInfoField(const std::string& fdinfo, const std::string& key, int base) {
  std::ifstream in(fdinfo);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + key.size(), nullptr, base);
  return -1;
}

// What one process holds of interest: the port (and how), and the pty's master.
struct Held {
  bool port = false;
  bool reads = false, writes = false;
  bool master = false;
  bool unseen = false;  // its open files could not be looked at
};

Held Scan(const std::string& pid, dev_t port, long ptyIndex) {
  Held held;
  const std::string fdDir = "/proc/" + pid + "/fd";
  DIR* fds = opendir(fdDir.c_str());
  if (!fds) {
    held.unseen = errno == EACCES;  // another user's; gone is nothing to see
    return held;
  }
  while (dirent* fd = readdir(fds)) {
    if (fd->d_name[0] == '.') continue;
    const std::string link = fdDir + "/" + fd->d_name;
    // Only files with a path: sockets, pipes and anonymous files are neither.
    char target[2];
    if (readlink(link.c_str(), target, sizeof target) < 1 || target[0] != '/') continue;
    struct stat st;
    if (stat(link.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
    const std::string fdinfo = "/proc/" + pid + "/fdinfo/" + fd->d_name;
    if (st.st_rdev == port) {
      held.port = true;
      // Unknown (gone meanwhile): taken for both.
      const long flags = FdInfoField(fdinfo, "flags:", 8);
      const long mode = flags < 0 ? O_RDWR : flags & O_ACCMODE;
      held.reads = held.reads || mode != O_WRONLY;
      held.writes = held.writes || mode != O_RDONLY;
    }
    if (ptyIndex >= 0 && st.st_rdev == kPtmx) {
      // A kernel that does not say which pty a master serves: any master may be this one's.
      const long index = FdInfoField(fdinfo, "tty-index:", 10);
      if (index < 0 || index == ptyIndex) held.master = true;
    }
  }
  closedir(fds);
  return held;
}

}  // namespace

std::vector<PortHolder> Holders(const std::string& path, bool* unseen) {
  std::vector<PortHolder> found;
  if (unseen) *unseen = false;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return found;
  const long ptyIndex = PtyIndex(st.st_rdev);
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end || pid <= 0 || pid == getpid()) continue;
    const Held held = Scan(entry->d_name, st.st_rdev, ptyIndex);
    if (held.unseen && unseen) *unseen = true;
    if (!held.port || held.master) continue;
    PortHolder holder{pid, "", held.reads, held.writes};
    std::ifstream comm(std::string("/proc/") + entry->d_name + "/comm");
    std::getline(comm, holder.command);
    found.push_back(holder);
  }
  closedir(proc);
  return found;
}

std::string HoldersText(const std::vector<PortHolder>& holders) {
  std::string text;
  for (const PortHolder& h : holders)
    text += (text.empty() ? "" : ", ") + std::to_string(h.pid) + " (" + h.command +
            (!h.reads ? ", write-only" : !h.writes ? ", read-only" : "") + ")";
  return text;
}

bool IsPseudoTerminal(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && PtyIndex(st.st_rdev) >= 0;
}

}  // namespace vx::tools
