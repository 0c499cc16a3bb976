#pragma once
// Pulls packets from a source on a thread of its own, ahead of the one
// that takes them, so producing them (encoding sound) overlaps with what
// the taker does meanwhile (copying video, muxing).
//
// At most `capacity` packets wait; the pump then waits for room. A failure
// of the source is rethrown by next() once the packets before it are taken.
// Destroying the pump stops the source after the packet in hand.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/ffmpeg/av_handles.h"

namespace vantor::platform::ffmpeg {

class PacketPump {
 public:
  // `source` fills the packet and returns true, or returns false at the end;
  // it may throw. It runs on the pump's thread only, named `name` (15 bytes
  // at most).
  PacketPump(std::function<bool(AVPacket*)> source, size_t capacity, std::string name);
  ~PacketPump();
  PacketPump(const PacketPump&) = delete;
  PacketPump& operator=(const PacketPump&) = delete;

  // The next packet, waiting for it; false after the last. Rethrows.
  bool next(AVPacket* packet);

 private:
  void run(std::string name);

  std::function<bool(AVPacket*)> source_;
  size_t capacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<PacketHandle> ready_;
  bool ended_ = false;
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // last: started once the rest is set up
};

}  // namespace vantor::platform::ffmpeg
