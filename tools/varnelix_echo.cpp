// varnelix-echo: a loopback peer for people without serial hardware. It opens
// a pseudo-terminal, prints the device to give the exerciser, and echoes every
// byte back until interrupted; on request it misbehaves as a faulty line or
// device would, to try a judge of the line against.
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
               "                     [--corrupt-every N] [--banner TEXT] [--insert-every N] [--delay MS]\n"
               "                     [--hang-up-after N] [--stall-after N]\n"
               "Opens a pseudo-terminal, prints the device path to open in Varnelix,\n"
               "and echoes every byte it receives until Ctrl+C. It loses no byte unless asked:\n"
               "when it cannot keep up it stops reading, and the line holds the sender back.\n"
               "  --silent           receive but never echo\n"
               "  --chatter          also send text unasked, every 10 ms\n"
               "  --flood            send text unasked, as fast as the line takes it\n"
               "  --baud N           pace what it sends to N baud (10 bits a byte)\n"
               "  --drop-every N     lose every Nth byte instead of echoing it\n"
               "  --corrupt-every N  flip the lowest bit of every Nth byte\n"
               "  --banner TEXT      send TEXT before the first echoed byte, as a device that boots\n"
               "  --insert-every N   send an extra '~' after every Nth echoed byte\n"
               "  --delay MS         hold every byte MS milliseconds before echoing it\n"
               "  --hang-up-after N  hang up once N bytes were received\n"
               "  --stall-after N    echo N bytes, then stop reading and answering\n");
}

template <typename Count>
bool ParseCount(const char* text, Count* value) {
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (!*text || *end || v == 0 || v > 1000000000000ULL || text[0] == '-') return false;
  if (v > static_cast<unsigned long long>(static_cast<Count>(-1))) return false;
  *value = static_cast<Count>(v);
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
    } else if (a == "--banner" && i + 1 < argc) {
      options.banner = argv[++i];
    } else if ((a == "--baud" || a == "--drop-every" || a == "--corrupt-every" || a == "--insert-every" ||
                a == "--delay" || a == "--hang-up-after" || a == "--stall-after") &&
               i + 1 < argc) {
      const char* v = argv[++i];
      bool ok = a == "--baud"            ? ParseCount(v, &options.baud)
                : a == "--drop-every"    ? ParseCount(v, &options.dropEvery)
                : a == "--corrupt-every" ? ParseCount(v, &options.corruptEvery)
                : a == "--insert-every"  ? ParseCount(v, &options.insertEvery)
                : a == "--delay"         ? ParseCount(v, &options.delayMs)
                : a == "--hang-up-after" ? ParseCount(v, &options.hangUpAfter)
                                         : ParseCount(v, &options.stallAfter);
      if (!ok) {
        std::fprintf(stderr, "varnelix-echo: %s needs a positive whole number, not '%s'\n", a.c_str(), v);
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
  std::fprintf(stderr, "varnelix-echo: received %llu, sent %llu, dropped %llu, corrupted %llu, inserted %llu bytes\n",
               static_cast<unsigned long long>(peer.Received()), static_cast<unsigned long long>(peer.Sent()),
               static_cast<unsigned long long>(peer.Dropped()), static_cast<unsigned long long>(peer.Corrupted()),
               static_cast<unsigned long long>(peer.Inserted()));
  return 0;
}
