#pragma once

#include <functional>

namespace kestrel {

// Work that may reach the disk only after the files handed over before it are on
// stable storage (the transmitter table's write-back, which must never claim a
// status whose events could still be lost).
class AfterDurableQueue {
 public:
  virtual ~AfterDurableQueue() = default;
  // Runs `job` once every file handed over before this call is on stable storage,
  // possibly on another thread; jobs run one at a time, in the order given. A job
  // given with the non-null `key` of a job that still waits unrun takes that job's
  // place: the later job must do all the earlier one would have done. A job should
  // not throw; one that does is abandoned and told to the operator once.
  virtual void AfterDurable(const void* key, std::function<void()> job) = 0;
};

}  // namespace kestrel
