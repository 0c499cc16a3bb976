#pragma once
// The thread a writer or a recording output encodes on, fed by a bounded
// frame queue.
//
// Frame jobs go through tryPostFrame, which refuses (never waits) while
// `frameCapacity` frames are queued or being encoded, so producers on
// real-time threads drop and count instead of blocking. Control jobs (open,
// finish) go through post and are never refused, so a finish is not lost
// behind a full queue. Jobs run one at a time, in the order posted.
//
// Jobs must not capture the owner's `this`: they should hold what they touch
// by shared_ptr. That lets the owner be destroyed from inside one of its own
// jobs (a delegate that drops the last reference while being told the
// outcome): the thread is then detached and finishes on its own.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace vantor::platform::ffmpeg {

class EncodingThread {
 public:
  using Job = std::function<void()>;

  // `name` is the thread's name as top shows it (15 bytes at most). With
  // `framesYield`, a frame job waits for urgent work (exec/urgent_work.h)
  // while the queue has room for the next frame, so none is dropped for it.
  EncodingThread(std::string name, size_t frameCapacity, bool framesYield = false);
  // Runs every job already posted, then joins; on its own thread it detaches instead.
  ~EncodingThread();
  EncodingThread(const EncodingThread&) = delete;
  EncodingThread& operator=(const EncodingThread&) = delete;

  // False, and the job dropped, while the frame queue is full. Never blocks
  // beyond a short lock and never throws.
  bool tryPostFrame(Job job) noexcept;
  // Always queued.
  void post(Job job);
  // Runs `job` on the thread whenever it has had nothing to do for `quiet`
  // (and again after each further `quiet`). Set once, before posting.
  void whenQuiet(std::chrono::milliseconds quiet, Job job);

  // From now on the destructor does not wait: the thread runs what is
  // queued and ends on its own.
  void letGo() { letGo_ = true; }

  bool hasRoomForFrame() const;
  size_t framesQueued() const;  // queued or being encoded
  size_t frameCapacity() const { return capacity_; }
  bool isCurrent() const;

 private:
  struct State;
  size_t capacity_;
  std::shared_ptr<State> state_;
  std::thread thread_;
  bool letGo_ = false;
};

}  // namespace vantor::platform::ffmpeg
