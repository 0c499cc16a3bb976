#pragma once
// The line reader: a thread of its own doing blocking reads of a file
// descriptor (standard input), splitting the bytes into command lines and
// putting them into the line queue. At end of input it closes the queue.
// It lives until end of input, or until the queue is shut down; the main
// loop never blocks on input.

#include <memory>

#include "app/line_queue.h"

namespace vantor::app {

void startLineReader(int fd, std::shared_ptr<LineQueue> queue);

}  // namespace vantor::app
