#include "tools/drain_policy.h"

#include <algorithm>

namespace vx::tools {

void DrainPolicy::Observe(double now, std::uint64_t received) {
  if (received > received_) {
    longestGap_ = std::max(longestGap_, now - (lastReceipt_ < 0 ? sendStart_ : lastReceipt_));
    if (lastReceipt_ < 0) {
      firstReceipt_ = now;
      firstBlock_ = received;
    }
    lastReceipt_ = now;
    lastActivity_ = now;
    recent_.push_back({now, received});
    while (recent_.size() > 3 && recent_[1].at <= now - kRecentSeconds) recent_.pop_front();
    arrivals_.push_back({now, received});
    while (arrivals_.size() > 1 && arrivals_[1].at <= now - AnswerWindow() && arrivals_[1].count <= judgedUpTo_)
      arrivals_.pop_front();
  }
  received_ = received;
}

double DrainPolicy::ArrivalOf(std::uint64_t count) const {
  auto it = std::lower_bound(arrivals_.begin(), arrivals_.end(), count,
                             [](const Receipt& r, std::uint64_t c) { return r.count < c; });
  return it == arrivals_.end() ? -1 : it->at;
}

double DrainPolicy::RecentRate() const {
  // From the first of them on, as ObservedRate does: the first block's
  // bytes came before it.
  if (recent_.size() < 3) return 0;
  const Receipt& from = recent_.front();
  const Receipt& to = recent_.back();
  return static_cast<double>(to.count - from.count) / (to.at - from.at);
}

double DrainPolicy::ObservedRate() const {
  // The first block tells nothing of the rate: a peer that was idle before
  // the transfer may answer it in one burst (a paced peer spends the credit it
  // earned), far faster than the line then runs. The rate is what came after
  // it, over the time since it; until then, the line is assumed slow.
  if (lastReceipt_ <= firstReceipt_) return 0;
  return static_cast<double>(received_ - firstBlock_) / (lastReceipt_ - firstReceipt_);
}

double DrainPolicy::QuietNeeded(std::uint64_t owed) const {
  // Half as long again as the longest pause the peer has already made, owed
  // bytes or not: a far end that pauses before its last words pauses before
  // anything it sends of its own too.
  const double pauses = 1.5 * longestGap_;
  if (owed == 0) return std::max(kQuietFloor, pauses);
  double seen = ObservedRate();
  double rate = seen > 0 ? seen : kSlowestRate;
  // Until something has come back, a whole block: a far end may answer a
  // block at a time, however few bytes it owes.
  double block = lastReceipt_ < 0 ? kBlockBytes : std::min<double>(kBlockBytes, static_cast<double>(owed));
  // Half a block again for jitter, plus the read's 20 ms and the poll.
  return std::max({owedFloor_, 1.5 * block / rate + 0.1, pauses});
}

}  // namespace vx::tools
