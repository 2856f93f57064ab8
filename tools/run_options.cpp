#include "tools/run_options.h"

#include "tools/run_inputs.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace vx::tools {

namespace {

bool Fail(const std::string& message) {
  std::fprintf(stderr, "varnelix-run: %s\n", message.c_str());
  return false;
}

bool ParseSeconds(const char* name, const char* v, double* out) {
  char* end = nullptr;
  double d = std::strtod(v, &end);
  // Decimal only, as the other numbers: strtod would also take hexadecimal
  // ("0x10" for 16 s), leading blanks, "inf" and "nan".
  const bool decimal = (std::isdigit(static_cast<unsigned char>(*v)) || *v == '.') && !std::strpbrk(v, "xX");
  if (!decimal || *end || !(d > 0) || d > 1e7)
    return Fail(std::string(name) + " must be a positive number of seconds, at most 10000000, not '" + v + "'");
  *out = d;
  return true;
}

}  // namespace

void PrintRunUsage(FILE* out) {
  std::fprintf(out,
               "usage: varnelix-run --file PATH [--port NAME ...] [--packet-size N] [--stress --duration SECONDS]\n"
               "                    [--drain-timeout SECONDS] [--max-pause SECONDS] [--json FILE|-]\n"
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
               "  --duration SECONDS       with --stress: stop sending after this long (required there)\n"
               "  --drain-timeout SECONDS  wait at most this long for the line after sending (default 60)\n"
               "  --max-pause SECONDS      how long the far end may fall silent with bytes still owed\n"
               "                           before they are called lost (default 3; 10 on a network port)\n"
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
        a != "--max-pause" && a != "--json")
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
    } else if (a == "--max-pause") {
      if (!ParseSeconds("--max-pause", v, &o->maxPause)) return false;
    } else if (!ParseSeconds("--drain-timeout", v, &o->drainTimeout)) {
      return false;
    }
  }
  if (o->file.empty()) return Fail("--file is required (see --help)");
  if (o->stress && o->duration <= 0) return Fail("--stress needs --duration, or it would never end");
  // A single pass ends with the file; cut short, it would not send the file.
  if (!o->stress && o->duration > 0) return Fail("--duration goes with --stress: a single pass ends with the file");
  if (std::string problem = SourceFileProblem(o->file); !problem.empty()) return Fail(problem);
  if (o->json != "-" && !o->json.empty()) {
    if (std::string problem = ReportTargetProblem(o->json, o->file); !problem.empty()) return Fail(problem);
  }
  return true;
}

}  // namespace vx::tools
