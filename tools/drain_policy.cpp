#include "tools/drain_policy.h"

#include <algorithm>

namespace vx::tools {

void DrainPolicy::Observe(double now, std::uint64_t received) {
  if (received > received_) {
    longestGap_ = std::max(longestGap_, now - (lastReceipt_ < 0 ? sendStart_ : lastReceipt_));
    lastReceipt_ = now;
    lastActivity_ = now;
  }
  received_ = received;
}

double DrainPolicy::ObservedRate() const {
  if (lastReceipt_ < 0) return 0;
  // Counted from the start of sending, so the first block's delay lowers the
  // figure: an estimate on the slow side, which only lengthens the wait.
  double span = lastReceipt_ - sendStart_;
  return span > 0 ? static_cast<double>(received_) / span : 0;
}

double DrainPolicy::QuietNeeded(std::uint64_t owed) const {
  if (owed == 0) return kQuietFloor;
  double seen = ObservedRate();
  double rate = seen > 0 ? seen : kSlowestRate;
  double block = std::min<double>(kBlockBytes, static_cast<double>(owed));
  // Half a block again for jitter, plus the read's 20 ms and the poll; and
  // half as long again as the longest pause the peer has already made.
  return std::max({kOwedFloor, 1.5 * block / rate + 0.1, 1.5 * longestGap_});
}

}  // namespace vx::tools
