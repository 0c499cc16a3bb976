#include "platform/ffmpeg/packet_pump.h"

#include <pthread.h>

#include <algorithm>
#include <new>

namespace vantor::platform::ffmpeg {

PacketPump::PacketPump(std::function<bool(AVPacket*)> source, size_t capacity, std::string name)
    : source_(std::move(source)), capacity_(capacity), thread_([this, name = std::move(name)] { run(name); }) {}

PacketPump::~PacketPump() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void PacketPump::run(std::string name) {
  name.resize(std::min<size_t>(name.size(), 15));
  pthread_setname_np(pthread_self(), name.c_str());
  for (;;) {
    PacketHandle packet(av_packet_alloc());
    bool more = false;
    std::exception_ptr failure;
    try {
      if (!packet) throw std::bad_alloc();
      more = source_(packet.get());
    } catch (...) {
      failure = std::current_exception();
    }
    std::unique_lock lock(mutex_);
    if (!more || failure) {
      ended_ = true;
      failure_ = failure;
      changed_.notify_all();
      return;
    }
    changed_.wait(lock, [&] { return stopping_ || ready_.size() < capacity_; });
    if (stopping_) return;
    ready_.push_back(std::move(packet));
    changed_.notify_all();
  }
}

bool PacketPump::next(AVPacket* packet) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !ready_.empty() || ended_; });
  if (ready_.empty()) {
    if (failure_) std::rethrow_exception(failure_);
    return false;
  }
  PacketHandle front = std::move(ready_.front());
  ready_.pop_front();
  lock.unlock();
  changed_.notify_all();
  av_packet_move_ref(packet, front.get());
  return true;
}

}  // namespace vantor::platform::ffmpeg
