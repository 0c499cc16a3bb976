#include "platform/ffmpeg/media_error.h"

extern "C" {
#include <libavutil/error.h>
}

namespace vantor::platform::ffmpeg {

std::string avErrorText(int averror) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(averror, text, sizeof text);
  return text;
}

}  // namespace vantor::platform::ffmpeg
