#pragma once
// What the controller tells the host about its takes. app/ writes each report
// as an event line; tests may record them. Callable from any thread (the
// level comes from the level queue), so an implementation writes each report
// whole.

#include <string>
#include <string_view>

namespace vantor {

class TakeEvents {
 public:
  virtual ~TakeEvents() = default;
  virtual void status(std::string_view phase) = 0;
  virtual void error(std::string_view message) = 0;
  virtual void elapsed(double seconds) = 0;
  virtual void micLevel(double value) = 0;
  // `timestamp`: the take's recorded seconds; `jpegBase64`: the image.
  virtual void screenshot(double timestamp, std::string jpegBase64) = 0;
  // `part` ("video" or "sound") of the running take stopped writing.
  virtual void takeFailed(std::string_view part, std::string_view message) = 0;
};

}  // namespace vantor
