#include "platform/screen_capture.h"

namespace vantor::platform {

void Stream::addRecordingOutput(std::shared_ptr<RecordingOutput>) {
  throw Error("Vantor.Platform", 1, "this stream cannot feed a recording output");
}

}  // namespace vantor::platform
