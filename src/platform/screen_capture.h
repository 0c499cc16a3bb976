#pragma once
// What the system needs from the machine's screen-capture service: the
// displays and windows that can be captured, content filters naming one of
// them, streams of frames, and stills (the screenshot service).
//
// Completions report through exec::Resolver, from any thread; callers await
// them with exec::awaitCompletion. Every failure is an Error with a
// description people can read.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "exec/completion.h"
#include "exec/loop.h"
#include "platform/recording_output.h"
#include "platform/video_frame.h"

namespace vantor::platform {

struct Display {
  uint32_t displayID = 0;
  int width = 0;   // pixels
  int height = 0;
};

struct RunningApplication {
  std::string applicationName;
};

struct Window {
  uint32_t windowID = 0;
  int windowLayer = 0;  // 0: a normal application window
  std::optional<std::string> title;
  std::optional<RunningApplication> owningApplication;
};

// A snapshot of what is on screen: displays in platform order (the first is
// the main display), on-screen windows front-most first.
struct ShareableContent {
  std::vector<Display> displays;
  std::vector<Window> windows;
};

// Names exactly what a stream or a still captures: a whole display, or one
// window alone. Built only from an entry of a ShareableContent.
struct ContentFilter {
  enum class Kind { display, window };
  Kind kind = Kind::display;
  Display display;  // when kind is display
  Window window;    // when kind is window

  static ContentFilter forDisplay(const Display& d) { return {Kind::display, d, {}}; }
  static ContentFilter forWindow(const Window& w) { return {Kind::window, {}, w}; }
};

struct StreamConfiguration {
  int width = 1920;   // frames are this size; content is fitted in, aspect kept
  int height = 1080;
  // In nanoseconds before dividing: whole seconds / 60 would truncate to zero.
  std::chrono::nanoseconds minimumFrameInterval{std::chrono::nanoseconds(std::chrono::seconds(1)) / 60};
  int queueDepth = 6;  // frames in flight to the consumer at most
  bool showsCursor = true;  // the pointer drawn in where it is over the content
};

// Counters a stream keeps for diagnostics and benchmarks.
struct StreamStats {
  uint64_t delivered = 0;  // frames handed to the output
  uint64_t dropped = 0;    // frames not delivered because queueDepth were in flight
  uint64_t grabs = 0;      // images taken from the screen
};

// A capture stream. Created stopped; frames flow between a successful
// startCapture and stopCapture. Methods are called on the main loop.
class Stream {
 public:
  using FrameHandler = std::function<void(FrameRef)>;

  virtual ~Stream() = default;

  // Where frames go: `handler` runs on `loop`, once per frame, in order.
  // Must be called before startCapture. Throws Error on failure.
  virtual void addStreamOutput(FrameHandler handler, exec::Loop& loop) = 0;

  // Hands every frame, on the stream's own thread, to `output` as well, and
  // tells it when the stream stops. Must be called before startCapture.
  // Throws Error on failure, and by default: streams without it say so.
  virtual void addRecordingOutput(std::shared_ptr<RecordingOutput> output);

  virtual void startCapture(exec::Resolver<void> done) = 0;
  // Ends frame delivery; no frame handler runs after `done` reports.
  virtual void stopCapture(exec::Resolver<void> done) = 0;

  virtual StreamStats stats() const = 0;
};

class ScreenCaptureService {
 public:
  virtual ~ScreenCaptureService() = default;

  // What captures, for log lines and errors people read: "X11 capture".
  virtual std::string name() const = 0;

  // What is on screen when it is called: every change made before the call
  // shows (a backend may keep a listing while nothing has changed since).
  virtual void getShareableContent(exec::Resolver<ShareableContent> done) = 0;

  virtual std::unique_ptr<Stream> createStream(const ContentFilter& filter,
                                               const StreamConfiguration& config) = 0;

  // Whether captureImage is offered (the still path of screenshots).
  virtual bool hasScreenshotService() const = 0;
  // A still of the filter's content at its native size.
  virtual void captureImage(const ContentFilter& filter, exec::Resolver<ImageRef> done) = 0;
};

}  // namespace vantor::platform
