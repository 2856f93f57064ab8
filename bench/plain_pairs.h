// The plain yardsticks of the fair benchmark: an echo through a pty done with
// plain system calls, in three shapes, each costed in CPU seconds per MB
// echoed. Every shape fills its received blocks as the layer's reads with the
// link's timeouts do: 2048 bytes, or 20 ms with no further byte.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace vx::bench {

// The slave of a pty, opened raw; `flags` adds O_NONBLOCK or not.
int OpenRaw(const std::string& path, int flags);

// CPU seconds this process has used, user and system.
double CpuSeconds();

// Holds an echo's writer back while it is 1 MiB ahead of its reader: the
// echo peer keeps a bounded backlog and holds the line back when it is full.
void KeepInFlight(std::size_t sent, const std::atomic<std::size_t>& got);

// Blocking reads and writes on two threads: the least the echo can cost.
double PlainPairCpuPerMb(const std::string& device, std::size_t total);

// The same two threads making the system calls that overlapped I/O asks for:
// each write and each read is first tried without blocking, because one that
// can finish at once must complete at once, and only what is left then waits
// (a blocking write for the rest; a poll, then the read). What any
// implementation of overlapped reads and writes pays on top of the plain pair.
double OverlappedPairCpuPerMb(const std::string& device, std::size_t total);

// The overlapped pair in the link's shape: a third thread, standing for the
// dialog, hands every 2048-byte packet to the writer and takes every received
// block from the reader, one hand-off each way per block, through queues with
// a mutex and a condition variable. What the link's messages add to the
// overlapped calls with the cheapest hand-off the standard library offers.
double HandOffPairCpuPerMb(const std::string& device, std::size_t total);

}  // namespace vx::bench
