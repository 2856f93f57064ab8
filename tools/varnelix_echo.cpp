// varnelix-echo: a loopback peer for people without serial hardware. It opens
// a pseudo-terminal, prints the device to give the exerciser, and echoes every
// byte back until interrupted.
#include "tools/echo_peer.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void OnSignal(int) { stopRequested = 1; }

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: varnelix-echo [--silent] [--chatter] [--flood] [--baud N] [--drop-every N]\n"
               "Opens a pseudo-terminal, prints the device path to open in Varnelix,\n"
               "and echoes every byte it receives until Ctrl+C.\n"
               "  --silent        receive but never echo\n"
               "  --chatter       also send text unasked, every 10 ms\n"
               "  --flood         send text unasked, as fast as the line takes it\n"
               "  --baud N        pace what it sends to N baud (10 bits a byte)\n"
               "  --drop-every N  lose every Nth byte instead of echoing it\n");
}

bool ParseCount(const char* text, std::uint32_t* value) {
  char* end = nullptr;
  unsigned long v = std::strtoul(text, &end, 10);
  if (!*text || *end || v == 0 || v > 100000000UL || text[0] == '-') return false;
  *value = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  vx::tools::EchoPeer::Options options;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--silent") {
      options.echo = false;
    } else if (a == "--chatter") {
      options.chatter = true;
    } else if (a == "--flood") {
      options.flood = true;
    } else if ((a == "--baud" || a == "--drop-every") && i + 1 < argc) {
      std::uint32_t* target = a == "--baud" ? &options.baud : &options.dropEvery;
      if (!ParseCount(argv[++i], target)) {
        std::fprintf(stderr, "varnelix-echo: %s needs a positive whole number, not '%s'\n", a.c_str(), argv[i]);
        return 2;
      }
    } else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "varnelix-echo: unknown option '%s'\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  vx::tools::EchoPeer peer(options);
  std::string error;
  if (!peer.Start(&error)) {
    std::fprintf(stderr, "varnelix-echo: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", peer.DevicePath().c_str());
  std::fflush(stdout);
  while (!stopRequested) usleep(50 * 1000);
  peer.Stop();
  std::fprintf(stderr, "varnelix-echo: received %llu, sent %llu, dropped %llu bytes\n",
               static_cast<unsigned long long>(peer.Received()), static_cast<unsigned long long>(peer.Sent()),
               static_cast<unsigned long long>(peer.Dropped()));
  return 0;
}
