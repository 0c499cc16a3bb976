#include "app/line_reader.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "app/line_splitter.h"

namespace vantor::app {

void startLineReader(int fd, std::shared_ptr<LineQueue> queue) {
  std::thread([fd, queue = std::move(queue)] {
    pthread_setname_np(pthread_self(), "stdin-reader");
    // A push waits while the queue is full, so a host that writes faster than
    // commands are handled is held back by the pipe, not by our memory.
    bool wanted = true;
    LineSplitter splitter([&](std::string line) {
      if (wanted) wanted = queue->push(std::move(line));
    });
    // Large reads keep a host that writes fast from paying a syscall per line.
    char chunk[64 * 1024];
    while (wanted) {
      ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // end of input; a read error ends input too
      splitter.append(std::string_view(chunk, static_cast<size_t>(n)));
    }
    queue->close();
  }).detach();
}

}  // namespace vantor::app
