#include "exec/serial_queue.h"

#include <pthread.h>

#include <string>

namespace vantor::exec {

SerialQueue::SerialQueue(std::string_view suffix)
    : Loop(std::string(kAppIdentifier) + std::string(suffix)),
      keepAlive_(asio::make_work_guard(context())) {
  // Linux thread names hold 15 bytes: keep the distinctive end of the label.
  std::string name(suffix);
  if (name.starts_with(".helper.")) name.erase(0, 8);
  else if (name.starts_with(".")) name.erase(0, 1);
  name.resize(std::min<size_t>(name.size(), 15));
  thread_ = std::thread([this, name] {
    pthread_setname_np(pthread_self(), name.c_str());
    runHere();
  });
}

SerialQueue::~SerialQueue() {
  keepAlive_.reset();
  if (thread_.joinable()) thread_.join();
}

}  // namespace vantor::exec
