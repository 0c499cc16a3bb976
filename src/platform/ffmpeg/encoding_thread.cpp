#include "platform/ffmpeg/encoding_thread.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "exec/urgent_work.h"

namespace vantor::platform::ffmpeg {

struct EncodingThread::State {
  struct Entry {
    Job job;
    bool isFrame;
  };
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Entry> jobs;
  size_t frames = 0;  // frame jobs queued or running
  bool closing = false;
  std::chrono::milliseconds quiet{0};
  Job whenQuiet;
};

EncodingThread::EncodingThread(std::string name, size_t frameCapacity, bool framesYield)
    : capacity_(frameCapacity), state_(std::make_shared<State>()) {
  name.resize(std::min<size_t>(name.size(), 15));
  // The thread holds the state itself, so a detached thread never outlives it.
  thread_ = std::thread([state = state_, name, framesYield, capacity = frameCapacity] {
    pthread_setname_np(pthread_self(), name.c_str());
    std::unique_lock lock(state->mutex);
    auto ready = [&] { return state->closing || !state->jobs.empty(); };
    for (;;) {
      if (state->quiet.count() > 0) {
        if (!state->wake.wait_for(lock, state->quiet, ready)) {
          Job quietJob = state->whenQuiet;
          lock.unlock();
          quietJob();
          quietJob = nullptr;
          lock.lock();
          continue;
        }
      } else {
        state->wake.wait(lock, ready);
      }
      if (state->jobs.empty()) return;  // closing and drained
      State::Entry entry = std::move(state->jobs.front());
      state->jobs.pop_front();
      lock.unlock();
      if (entry.isFrame && framesYield)
        exec::UrgentWork::yieldTo([&] {
          std::lock_guard held(state->mutex);
          return state->frames < capacity;  // this frame counts: room for one more
        });
      entry.job();
      entry.job = nullptr;  // release what it captured before taking the lock
      lock.lock();
      if (entry.isFrame) --state->frames;
    }
  });
}

EncodingThread::~EncodingThread() {
  {
    std::lock_guard lock(state_->mutex);
    state_->closing = true;
  }
  state_->wake.notify_one();
  if (letGo_ || std::this_thread::get_id() == thread_.get_id()) thread_.detach();
  else thread_.join();
}

bool EncodingThread::tryPostFrame(Job job) noexcept {
  try {
    {
      std::lock_guard lock(state_->mutex);
      if (state_->closing || state_->frames >= capacity_) return false;
      state_->jobs.push_back({std::move(job), true});
      ++state_->frames;
    }
    state_->wake.notify_one();
    return true;
  } catch (...) {  // out of memory: a dropped frame, like a full queue
    return false;
  }
}

void EncodingThread::post(Job job) {
  {
    std::lock_guard lock(state_->mutex);
    state_->jobs.push_back({std::move(job), false});
  }
  state_->wake.notify_one();
}

void EncodingThread::whenQuiet(std::chrono::milliseconds quiet, Job job) {
  {
    std::lock_guard lock(state_->mutex);
    state_->quiet = quiet;
    state_->whenQuiet = std::move(job);
  }
  state_->wake.notify_one();
}

bool EncodingThread::hasRoomForFrame() const {
  std::lock_guard lock(state_->mutex);
  return state_->frames < capacity_;
}

size_t EncodingThread::framesQueued() const {
  std::lock_guard lock(state_->mutex);
  return state_->frames;
}

bool EncodingThread::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

}  // namespace vantor::platform::ffmpeg
