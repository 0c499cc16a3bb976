#pragma once
// Work a host is waiting on (a screenshot) goes ahead of work that can wait a
// few milliseconds (pictures already captured, waiting to be encoded). When
// every core is busy, the encoder's threads would otherwise take about half
// of the CPU time the screenshot needs, and the host would wait that much
// longer. Deferred work never waits long: only at the start of an urgent
// stretch, and only while its caller says it may.

#include <chrono>
#include <functional>

namespace vantor::exec {

class UrgentWork {
 public:
  // How long after urgent work began deferrable work still waits for it.
  static constexpr std::chrono::milliseconds kWindow{40};

  UrgentWork();  // urgent from now until it goes; any thread
  ~UrgentWork();
  UrgentWork(const UrgentWork&) = delete;
  UrgentWork& operator=(const UrgentWork&) = delete;

  // For deferrable work, on its own thread: waits while urgent work runs,
  // as long as `mayWait()` holds, until `window` after the urgent work began.
  // Returns at once, without a lock, when nothing is urgent.
  static void yieldTo(const std::function<bool()>& mayWait, std::chrono::milliseconds window = kWindow);
};

}  // namespace vantor::exec
