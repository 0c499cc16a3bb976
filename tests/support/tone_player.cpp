#include "support/tone_player.h"

#include <sstream>

namespace vantor::test {

std::unique_ptr<TonePlayer> TonePlayer::start(const ToneOptions& o, std::string* why) {
  std::ostringstream sine;
  sine << o.amplitude << "*sin(2*PI*" << o.frequency << "*t)";
  std::string expr = sine.str() + (o.channels == 2 ? "|" + sine.str() : "");
  std::string source = "aevalsrc=exprs=" + expr + ":s=48000" +
                       ":c=" + (o.channels == 2 ? "stereo" : "mono");
  // -re paces the tone in real time, one 1024-sample frame at a time. The
  // server starts playing once 200 ms are buffered, so that a late frame on
  // a busy machine does not leave a gap of silence.
  try {
    return std::unique_ptr<TonePlayer>(new TonePlayer({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re",
                                                       "-f", "lavfi", "-i", source, "-f", "pulse", "-buffer_duration",
                                                       "200", "-device", o.sink, "vantor test tone"}));
  } catch (const std::exception& e) {
    *why = std::string("cannot start ffmpeg: ") + e.what();
    return nullptr;
  }
}

}  // namespace vantor::test
