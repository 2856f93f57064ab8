// wsprintfA with the formats the program uses, against the C library's
// formatting, with every argument value, flags and widths the fuzzer finds;
// and the 1024-byte bound with long strings.
#include "platform/win32.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 16) return 0;
  DWORD v[4];
  std::memcpy(v, data, sizeof v);
  std::string text(reinterpret_cast<const char*>(data + 16), size - 16);
  text = text.c_str();  // up to the first zero byte, as %s reads it

  char ours[1100], theirs[4096];
  int n = wsprintfA(ours, "Received/Written Data size = %u/%u, Speed = %u/%u Bps", v[0], v[1], v[2], v[3]);
  std::snprintf(theirs, sizeof theirs, "Received/Written Data size = %u/%u, Speed = %u/%u Bps", v[0], v[1], v[2], v[3]);
  if (std::strcmp(ours, theirs) != 0 || n != static_cast<int>(std::strlen(theirs))) std::abort();

  n = wsprintfA(ours, "Comm Event: '%s', EvtMask = '%lx'\n", text.c_str(), v[0]);
  std::snprintf(theirs, sizeof theirs, "Comm Event: '%s', EvtMask = '%x'\n", text.c_str(), v[0]);
  std::string expected = std::string(theirs).substr(0, 1023);
  if (expected != ours || n != static_cast<int>(expected.size())) std::abort();

  int width = data[0] % 40;
  char format[64];
  std::snprintf(format, sizeof format, "%%0%dd|%%-%ds|%%%dX|%%c", width, width, width);
  wsprintfA(ours, format, static_cast<int>(v[1]), text.substr(0, 200).c_str(), v[2], static_cast<int>(data[1]));
  std::snprintf(theirs, sizeof theirs, format, static_cast<int>(v[1]), text.substr(0, 200).c_str(), v[2],
                static_cast<int>(data[1]));
  if (std::strncmp(ours, theirs, 1023) != 0) std::abort();
  return 0;
}
