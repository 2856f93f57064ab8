#include "tools/port_fleet.h"
#include "tools/stop_signals.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vx::tools {
namespace {

volatile std::sig_atomic_t fleetSignal = 0;
void OnFleetSignal(int signal) { fleetSignal = signal; }

// One port's run: the child process, what it prints, and its report.
struct PortRun {
  std::string port;
  pid_t pid = -1;
  int output = -1;  // the child's stdout and stderr
  std::string pending;  // the part of a line not yet ended
  std::string status = "starting";
  std::vector<std::string> summary;  // from its first "varnelix-run:" line on
  std::string report;  // its JSON report file
  int exitStatus = 1;
};

// Seconds as given: std::to_string keeps six decimals, and a drain timeout
// of a microsecond would reach the child as "0.000000", which it refuses.
std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", seconds);
  return text;
}

std::vector<std::string> ChildArguments(const RunOptions& o, const PortRun& run) {
  std::vector<std::string> args = {"varnelix-run", "--port", run.port, "--file", o.file, "--packet-size",
                                   std::to_string(o.packetSize), "--drain-timeout", Seconds(o.drainTimeout),
                                   "--json", run.report};
  if (o.maxPause > 0) {
    args.push_back("--max-pause");
    args.push_back(Seconds(o.maxPause));
  }
  if (o.stress) args.push_back("--stress");
  if (o.duration > 0) {
    args.push_back("--duration");
    args.push_back(Seconds(o.duration));
  }
  return args;
}

bool Launch(const char* self, const RunOptions& o, PortRun* run) {
  char name[] = "/tmp/varnelix-run-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) return false;
  close(fd);
  run->report = name;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  std::vector<std::string> args = ChildArguments(o, *run);
  run->pid = fork();
  if (run->pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(self, argv.data());
    std::fprintf(stderr, "varnelix-run: cannot start %s: %s\n", self, std::strerror(errno));
    _exit(2);
  }
  close(pipeFds[1]);
  if (run->pid < 0) {
    close(pipeFds[0]);
    return false;
  }
  run->output = pipeFds[0];
  return true;
}

// Takes what a child printed: status lines until its summary begins.
void TakeLine(PortRun* run, const std::string& line) {
  if (!run->summary.empty() || line.rfind("varnelix-run:", 0) == 0) {
    run->summary.push_back(line);
  } else if (!line.empty()) {
    run->status = line;
  }
}

bool Drain(PortRun* run) {
  char buf[4096];
  ssize_t n = read(run->output, buf, sizeof buf);
  if (n <= 0) {
    if (n < 0 && errno == EINTR) return true;
    if (!run->pending.empty()) TakeLine(run, run->pending);
    run->pending.clear();
    close(run->output);
    run->output = -1;
    return false;
  }
  run->pending.append(buf, static_cast<std::size_t>(n));
  for (std::size_t end; (end = run->pending.find('\n')) != std::string::npos;) {
    TakeLine(run, run->pending.substr(0, end));
    run->pending.erase(0, end + 1);
  }
  return true;
}

// The lines on the screen: one per port, rewritten in place on a terminal,
// printed as they change otherwise.
class FleetView {
 public:
  FleetView(FILE* console, std::size_t ports) : console(console), tty_(isatty(fileno(console))), shown_(ports) {}
  void Show(const std::vector<PortRun>& runs) {
    if (tty_) {
      if (drawn_) std::fprintf(console, "\033[%zuA", runs.size());
      for (const PortRun& r : runs) std::fprintf(console, "\r\033[K%-28s %s\n", r.port.c_str(), r.status.c_str());
      drawn_ = true;
    } else {
      for (std::size_t i = 0; i < runs.size(); ++i) {
        if (runs[i].status == shown_[i]) continue;
        shown_[i] = runs[i].status;
        std::fprintf(console, "%s: %s\n", runs[i].port.c_str(), runs[i].status.c_str());
      }
    }
    std::fflush(console);
  }

 private:
  FILE* console;
  bool tty_;
  bool drawn_ = false;
  std::vector<std::string> shown_;
};

// A field of a report this program wrote: the text after "key": up to the
// next comma or brace. Its counts come before its list of differences, so the
// first occurrence is the one wanted.
std::string Field(const std::string& json, const std::string& key) {
  std::size_t at = json.find("\"" + key + "\": ");
  if (at == std::string::npos) return "";
  at += key.size() + 4;
  std::size_t end = json.find_first_of(",}\n", at);
  std::string value = json.substr(at, end - at);
  if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
  return value;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void PrintTable(FILE* console, const std::vector<PortRun>& runs, const std::vector<std::string>& reports) {
  std::fprintf(console, "\n%-28s %-11s %12s %12s %9s %9s %9s %12s\n", "port", "verdict", "written", "received", "lost",
              "corrupted", "extra", "received B/s");
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const std::string& j = reports[i];
    std::string verdict = j.empty() ? (runs[i].exitStatus == 2 ? "bad-args" : "no-report") : Field(j, "verdict");
    std::fprintf(console, "%-28s %-11s %12s %12s %9s %9s %9s %12s\n", runs[i].port.c_str(), verdict.c_str(),
                Field(j, "written").c_str(), Field(j, "received").c_str(), Field(j, "lost").c_str(),
                Field(j, "corrupted").c_str(), Field(j, "extra").c_str(), Field(j, "received_bytes_per_s").c_str());
  }
}

bool WriteFleetReport(const std::string& target, const std::vector<PortRun>& runs,
                      const std::vector<std::string>& reports, int worst) {
  FILE* out = target == "-" ? stdout : std::fopen(target.c_str(), "w");
  if (!out) {
    std::perror(("varnelix-run: cannot write " + target).c_str());
    return false;
  }
  std::fprintf(out, "{\n\"exit_status\": %d,\n\"ports\": [\n", worst);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    std::string one = reports[i];
    while (!one.empty() && (one.back() == '\n' || one.back() == ' ')) one.pop_back();
    if (one.empty()) one = "{\"settings\": {\"port\": \"" + runs[i].port + "\"}, \"verdict\": null}";
    std::fprintf(out, "%s%s\n", one.c_str(), i + 1 < runs.size() ? "," : "");
  }
  std::fprintf(out, "]\n}\n");
  bool written = std::fflush(out) == 0 && !std::ferror(out);
  if (out != stdout) written = std::fclose(out) == 0 && written;
  if (!written) std::perror(("varnelix-run: cannot write " + (target == "-" ? "the report to standard output" : target)).c_str());
  return written;
}

}  // namespace

int RunPortFleet(const char* self, const RunOptions& options) {
  CatchStopSignals(OnFleetSignal);

  std::vector<PortRun> runs;
  for (const std::string& port : options.ports) {
    runs.emplace_back();
    runs.back().port = port;
  }
  for (PortRun& run : runs) {
    if (!Launch(self, options, &run)) {
      std::fprintf(stderr, "varnelix-run: cannot start a run for %s: %s\n", run.port.c_str(), std::strerror(errno));
      run.status = "could not start";
      run.exitStatus = 1;
    }
  }
  // With the report on standard output, what a person reads goes to stderr.
  FILE* console = options.json == "-" ? stderr : stdout;
  FleetView view(console, runs.size());
  bool forwarded = false;
  for (;;) {
    if (fleetSignal && !forwarded) {
      // Each run stops as it would on its own, and still reports.
      for (PortRun& run : runs)
        if (run.pid > 0) kill(run.pid, fleetSignal);
      forwarded = true;
    }
    std::vector<pollfd> fds;
    std::vector<PortRun*> owners;
    for (PortRun& run : runs) {
      if (run.output < 0) continue;
      fds.push_back({run.output, POLLIN, 0});
      owners.push_back(&run);
    }
    if (fds.empty()) break;
    if (poll(fds.data(), fds.size(), 200) > 0) {
      for (std::size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents) Drain(owners[i]);
    }
    view.Show(runs);
  }
  int worst = 0;
  std::vector<std::string> reports;
  for (PortRun& run : runs) {
    if (run.pid > 0) {
      int status = 0;
      while (waitpid(run.pid, &status, 0) < 0 && errno == EINTR) {
      }
      run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    reports.push_back(run.report.empty() ? "" : ReadFile(run.report));
    if (!run.report.empty()) unlink(run.report.c_str());
    worst = std::max(worst, run.exitStatus);
  }
  view.Show(runs);
  for (const PortRun& run : runs) {
    std::fprintf(console, "\n== %s\n", run.port.c_str());
    for (const std::string& line : run.summary) std::fprintf(console, "%s\n", line.c_str());
  }
  PrintTable(console, runs, reports);
  if (!options.json.empty() && !WriteFleetReport(options.json, runs, reports, worst) && worst == 0) worst = 1;
  std::fflush(console);
  return worst;
}

}  // namespace vx::tools
