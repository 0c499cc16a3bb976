#include "exec/urgent_work.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

namespace vantor::exec {
namespace {

using Clock = std::chrono::steady_clock;

struct Urgency {
  std::atomic<int> running{0};  // read without the lock on every deferrable job
  std::mutex mutex;             // guards since and the waits
  std::condition_variable ended;
  Clock::time_point since;  // when the running urgent work began
};

Urgency& urgency() {
  static Urgency u;
  return u;
}

}  // namespace

UrgentWork::UrgentWork() {
  Urgency& u = urgency();
  std::lock_guard lock(u.mutex);
  if (u.running.fetch_add(1) == 0) u.since = Clock::now();
}

UrgentWork::~UrgentWork() {
  Urgency& u = urgency();
  std::lock_guard lock(u.mutex);
  if (u.running.fetch_sub(1) == 1) u.ended.notify_all();
}

void UrgentWork::yieldTo(const std::function<bool()>& mayWait, std::chrono::milliseconds window) {
  Urgency& u = urgency();
  if (u.running.load() == 0) return;
  std::unique_lock lock(u.mutex);
  // `mayWait` may turn false without a notification (a queue filling up): look again every few milliseconds.
  while (u.running.load() > 0 && Clock::now() < u.since + window && mayWait())
    u.ended.wait_until(lock, std::min(u.since + window, Clock::now() + std::chrono::milliseconds(2)));
}

}  // namespace vantor::exec
