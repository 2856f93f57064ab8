// The serial devices present on the machine, for a port list to offer.
#include "platform/hooks.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx {
namespace {

bool IsCharacterDevice(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// The names in `dir` that are `prefix` followed by a number, by that number.
std::vector<std::string> Numbered(const std::string& dir, const char* prefix) {
  std::vector<std::pair<unsigned long, std::string>> found;
  if (DIR* d = ::opendir(dir.c_str())) {
    const std::size_t n = std::strlen(prefix);
    while (dirent* e = ::readdir(d)) {
      const char* name = e->d_name;
      if (std::strncmp(name, prefix, n) != 0 || name[n] == '\0') continue;
      if (!std::all_of(name + n, name + std::strlen(name), [](char c) { return c >= '0' && c <= '9'; })) continue;
      found.emplace_back(std::strtoul(name + n, nullptr, 10), name);
    }
    ::closedir(d);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& f : found) names.push_back(dir + "/" + f.second);
  return names;
}

// Every ttyS node exists whether or not a UART stands behind it: the driver
// tells which do. A port someone holds exclusively is one.
bool UartAnswers(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY;
  serial_struct info {};
  bool answers = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
  ::close(fd);
  return answers;
}

}  // namespace

std::vector<std::string> SerialDevicesPresent(const std::string& root) {
  std::vector<std::string> devices;
  // Stable names first: they say which adapter is which.
  const std::string byId = root + "/serial/by-id";
  if (DIR* d = ::opendir(byId.c_str())) {
    std::vector<std::string> links;
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') links.push_back(byId + "/" + e->d_name);
    ::closedir(d);
    std::sort(links.begin(), links.end());
    for (auto& link : links)
      if (IsCharacterDevice(link)) devices.push_back(link);
  }
  for (const char* prefix : {"ttyUSB", "ttyACM"})
    for (auto& path : Numbered(root, prefix))
      if (IsCharacterDevice(path)) devices.push_back(path);
  for (auto& path : Numbered(root, "ttyS"))
    if (IsCharacterDevice(path) && UartAnswers(path)) devices.push_back(path);
  return devices;
}

}  // namespace vx
