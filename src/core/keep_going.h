// Cancellation of long engine steps without the engine knowing who cancels.
//
// A step that may run for seconds (sorting, writing an index, syncing) takes
// a KeepGoing and asks it every so often whether to go on; false cancels the
// step, which then stops at the next safe point. The Python layer's callback
// checks for signals, so Ctrl-C ends a long build.
#pragma once

#include <cstddef>
#include <functional>

namespace quordb {

using KeepGoing = std::function<bool()>;

// Asks a KeepGoing (when there is one) once per `every` units of work done.
class Checkpoints {
 public:
  Checkpoints(const KeepGoing* keep_going, size_t every) noexcept
      : keep_going_(keep_going), every_(every) {}

  // Counts `work` done; false once the step is to stop.
  bool Done(size_t work) {
    if (keep_going_ == nullptr || !*keep_going_) return true;
    pending_ += work;
    if (pending_ < every_) return true;
    pending_ = 0;
    return (*keep_going_)();
  }

  // Asks now, whatever the work done.
  bool Ask() { return keep_going_ == nullptr || !*keep_going_ || (*keep_going_)(); }

 private:
  const KeepGoing* keep_going_;
  size_t every_;
  size_t pending_ = 0;
};

}  // namespace quordb
