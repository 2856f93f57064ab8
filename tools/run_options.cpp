#include "tools/run_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace vx::tools {

namespace {

bool Fail(const std::string& message) {
  std::fprintf(stderr, "varnelix-run: %s\n", message.c_str());
  return false;
}

bool ParseSeconds(const char* name, const char* v, double* out) {
  char* end = nullptr;
  double d = std::strtod(v, &end);
  if (!*v || *end || !(d > 0) || d > 1e7)
    return Fail(std::string(name) + " must be a positive number of seconds, not '" + v + "'");
  *out = d;
  return true;
}

}  // namespace

void PrintRunUsage(FILE* out) {
  std::fprintf(out,
               "usage: varnelix-run --file PATH [--port NAME ...] [--packet-size N] [--stress --duration SECONDS]\n"
               "                    [--drain-timeout SECONDS] [--json FILE|-]\n"
               "Sends a file through a serial port with the Varnelix exerciser, without a display, and\n"
               "checks every byte that comes back against the file.\n"
               "  --port NAME              COMn, a device path such as /dev/ttyUSB0, loop:// (default),\n"
               "                           tcp://HOST:PORT or rfc2217://HOST:PORT; settings may follow\n"
               "                           as ?baud=N&format=8N1&flow=none|rtscts|xonxoff. Given more than\n"
               "                           once, every port is exercised at the same time, each with its\n"
               "                           own dialog; the run ends with a table, and exits with the worst\n"
               "                           status of them\n"
               "  --file PATH              the file to send\n"
               "  --packet-size N          bytes sent per 1 ms tick, 1 to 2048 (default 256)\n"
               "  --stress                 send the file again and again\n"
               "  --duration SECONDS       stop sending after this long (needed with --stress)\n"
               "  --drain-timeout SECONDS  wait at most this long for the line after sending (default 60)\n"
               "  --json FILE|-            also write a report in JSON to FILE, or to standard output\n"
               "Exit status: 0 every byte came back intact and nothing extra; 1 bytes were lost,\n"
               "corrupted or added, the link reported an error, or the port could not be opened;\n"
               "2 bad arguments or an unusable file; 130 / 143 / 129 interrupted by SIGINT / SIGTERM / SIGHUP.\n");
}

bool ParseRunOptions(int argc, char** argv, RunOptions* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      o->help = true;
      return true;
    }
    if (a == "--stress") {
      o->stress = true;
      continue;
    }
    if (a != "--port" && a != "--file" && a != "--packet-size" && a != "--duration" && a != "--drain-timeout" &&
        a != "--json")
      return Fail("unknown argument '" + a + "' (see --help)");
    if (i + 1 >= argc) return Fail(a + " needs a value");
    const char* v = argv[++i];
    if (a == "--port") {
      if (!*v) return Fail("--port needs a port name");
      o->ports.push_back(v);
      o->port = o->ports.front();
    } else if (a == "--file") {
      o->file = v;
    } else if (a == "--json") {
      o->json = v;
      if (o->json.empty()) return Fail("--json needs a file name, or - for standard output");
    } else if (a == "--packet-size") {
      char* end = nullptr;
      unsigned long n = std::strtoul(v, &end, 10);
      if (!*v || *end || v[0] == '-' || n < 1 || n > 2048)
        return Fail(std::string("--packet-size must be a whole number from 1 to 2048, not '") + v + "'");
      o->packetSize = static_cast<unsigned>(n);
    } else if (a == "--duration") {
      if (!ParseSeconds("--duration", v, &o->duration)) return false;
    } else if (!ParseSeconds("--drain-timeout", v, &o->drainTimeout)) {
      return false;
    }
  }
  if (o->file.empty()) return Fail("--file is required (see --help)");
  struct stat st;
  if (stat(o->file.c_str(), &st) != 0) return Fail("cannot read '" + o->file + "': " + std::strerror(errno));
  // The file is read twice, by the dialog to send and by the runner to
  // compare: only a regular file gives the same bytes both times.
  if (!S_ISREG(st.st_mode)) return Fail("'" + o->file + "' is not a regular file");
  if (access(o->file.c_str(), R_OK) != 0) return Fail("cannot read '" + o->file + "': " + std::strerror(errno));
  if (o->stress && o->duration <= 0) return Fail("--stress needs --duration, or it would never end");
  return true;
}

}  // namespace vx::tools
