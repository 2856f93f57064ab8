// The bytes the far end should send back: a file's bytes from its start,
// once or over and over (a stress run rewinds it), read from disk a piece at a
// time so that a file of any size costs the same memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <sys/stat.h>

namespace vx::tools {

class ExpectedStream {
 public:
  virtual ~ExpectedStream() = default;
  // Copies up to `n` bytes of the stream starting at `position` into `out`;
  // returns how many, 0 past the end of a stream that does not repeat.
  virtual std::size_t Read(std::uint64_t position, std::uint8_t* out, std::size_t n) = 0;
  // Length of one pass (the file's size).
  virtual std::uint64_t PassLength() const = 0;
  // True when what the stream is read from has changed since it was opened:
  // the bytes sent may then not be the bytes read back here.
  virtual bool Changed() const { return false; }
};

// How many bytes of one pass of `stream` are among `values`.
std::uint64_t CountInPass(ExpectedStream& stream, std::initializer_list<std::uint8_t> values);

// A file on disk, read with pread; repeats when asked, as a stress run sends it.
class FileStream final : public ExpectedStream {
 public:
  FileStream(bool repeat) : repeat_(repeat) {}
  ~FileStream() override;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  // False with the system's reason when the file cannot be opened.
  bool Open(const std::string& path, std::string* error);
  std::size_t Read(std::uint64_t position, std::uint8_t* out, std::size_t n) override;
  std::uint64_t PassLength() const override { return size_; }
  // Its size or its modification time moved (appended to, truncated,
  // rewritten in place), or it was written with its time put back.
  bool Changed() const override;

 private:
  int fd_ = -1;
  std::string path_;
  std::uint64_t size_ = 0;
  struct stat found_ {};  // as it was opened
  bool repeat_;
};

// Bytes held in memory; for the tests and the benchmark.
class MemoryStream final : public ExpectedStream {
 public:
  MemoryStream(std::string bytes, bool repeat) : bytes_(std::move(bytes)), repeat_(repeat) {}
  std::size_t Read(std::uint64_t position, std::uint8_t* out, std::size_t n) override;
  std::uint64_t PassLength() const override { return bytes_.size(); }

 private:
  std::string bytes_;
  bool repeat_;
};

}  // namespace vx::tools
