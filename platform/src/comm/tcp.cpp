// tcp://host:port: a raw byte stream to a serial server (ser2net's raw mode,
// device servers). The line's settings live with the server; the DCB is kept
// here only so that GetCommState reports what was set.
#include "socket_backend.h"

namespace vx::comm {
namespace {

class TcpBackend final : public SocketBackend {
 public:
  using SocketBackend::SocketBackend;

  long ReadSome(void* buffer, std::size_t size, DWORD* error) override { return Receive(buffer, size, error); }
  long WriteSome(const void* buffer, std::size_t size, DWORD* error) override {
    return Transmit(buffer, size, error);
  }

  void PurgeInput() override {
    // What has arrived so far is dropped; the server's own buffers are out of reach.
    char sink[4096];
    DWORD ignored;
    while (Receive(sink, sizeof sink, &ignored) > 0) {
    }
  }
  // Bytes the socket has taken cannot be called back.
  void PurgeOutput() override {}
};

}  // namespace

std::unique_ptr<Backend> MakeTcpBackend(int fd) { return std::make_unique<TcpBackend>(fd); }

}  // namespace vx::comm
