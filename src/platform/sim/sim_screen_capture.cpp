#include "platform/sim/sim_screen_capture.h"

#include <algorithm>
#include <chrono>

namespace vantor::platform::sim {
namespace {
constexpr int kGone = 1, kOffScreen = 2;  // error codes
}

SimScreenCapture::SimScreenCapture() = default;
SimScreenCapture::~SimScreenCapture() = default;

SimWindow SimScreenCapture::window(uint32_t id, std::optional<std::string> title, std::optional<std::string> app,
                                   int layer, bool onScreen) {
  Window w;
  w.windowID = id;
  w.windowLayer = layer;
  w.title = std::move(title);
  if (app) w.owningApplication = RunningApplication{*app};
  return {w, onScreen};
}

std::vector<SimStream*> SimScreenCapture::streams() const {
  std::lock_guard lock(registry_->mutex);
  return registry_->streams;
}

SimStream* SimScreenCapture::lastStream() const {
  std::lock_guard lock(registry_->mutex);
  return registry_->streams.empty() ? nullptr : registry_->streams.back();
}

void SimScreenCapture::getShareableContent(exec::Resolver<ShareableContent> done) {
  ++contentQueries;
  ShareableContent content;
  content.displays = displays;
  for (const SimWindow& w : windows)
    if (w.onScreen) content.windows.push_back(w.window);
  std::optional<Error> failure = contentQueryFailure;
  platformQueue_.post([done = std::move(done), content = std::move(content), failure] {
    if (failure) done.fail(*failure);
    else done.succeed(content);
  });
}

std::unique_ptr<Stream> SimScreenCapture::createStream(const ContentFilter& filter, const StreamConfiguration& config) {
  auto stream = std::make_unique<SimStream>(*this, filter, config);
  std::lock_guard lock(registry_->mutex);
  registry_->streams.push_back(stream.get());
  return stream;
}

std::optional<Error> SimScreenCapture::unavailable(const ContentFilter& filter) const {
  if (filter.kind == ContentFilter::Kind::display) {
    for (const Display& d : displays)
      if (d.displayID == filter.display.displayID) return std::nullopt;
    return Error("Vantor.Sim", kGone, "display " + std::to_string(filter.display.displayID) + " is no longer available");
  }
  std::string name = "window " + std::to_string(filter.window.windowID);
  for (const SimWindow& w : windows)
    if (w.window.windowID == filter.window.windowID)
      return w.onScreen ? std::nullopt : std::optional(Error("Vantor.Sim", kOffScreen, name + " is not on screen"));
  return Error("Vantor.Sim", kGone, name + " is no longer available");
}

void SimScreenCapture::captureImage(const ContentFilter& filter, exec::Resolver<ImageRef> done) {
  ++stillsTaken;
  std::optional<Error> failure = screenshotFailure ? screenshotFailure : unavailable(filter);
  std::pair<int, int> size{filter.display.width, filter.display.height};
  for (const SimWindow& w : windows)
    if (filter.kind == ContentFilter::Kind::window && w.window.windowID == filter.window.windowID)
      size = {w.width, w.height};
  platformQueue_.post([done = std::move(done), failure, width = size.first, height = size.second] {
    if (failure) return done.fail(*failure);
    auto image = makeImage(width, height);
    SimStream::stamp(*image, 0);
    done.succeed(image);
  });
}

SimStream::SimStream(SimScreenCapture& owner, ContentFilter filter, StreamConfiguration config)
    : owner_(owner), registry_(owner.registry_), filter_(std::move(filter)), config_(config) {}

SimStream::~SimStream() {
  live_->store(false);
  std::lock_guard lock(registry_->mutex);
  std::erase(registry_->streams, this);
}

void SimStream::stamp(PixelBuffer& image, uint64_t index) {
  for (int y = 0; y < image.height; ++y) {
    uint8_t* p = image.row(y);
    for (int x = 0; x < image.width; ++x, p += 4) {
      p[0] = index & 0xFF;
      p[1] = (index >> 8) & 0xFF;
      p[2] = (index >> 16) & 0xFF;
      p[3] = 0xFF;
    }
  }
}

void SimStream::drawPointer(PixelBuffer& image) {
  const int x0 = std::max(0, image.width / 2 - kPointerSize / 2), y0 = std::max(0, image.height / 2 - kPointerSize / 2);
  for (int y = y0; y < std::min(image.height, y0 + kPointerSize); ++y)
    std::fill_n(image.row(y) + size_t(x0) * 4, size_t(std::min(kPointerSize, image.width - x0)) * 4, uint8_t(0xFF));
}

uint64_t SimStream::stampOf(const PixelBuffer& image) {
  const uint8_t* p = image.row(0);
  return p[0] | (uint64_t(p[1]) << 8) | (uint64_t(p[2]) << 16);
}

void SimStream::addStreamOutput(FrameHandler handler, exec::Loop& loop) {
  if (owner_.addOutputFailure) throw *owner_.addOutputFailure;
  handler_ = std::move(handler);
  loop_ = &loop;
}

void SimStream::addRecordingOutput(std::shared_ptr<RecordingOutput> output) {
  if (owner_.addRecordingFailure) throw *owner_.addRecordingFailure;
  recordingOutput_ = std::move(output);
}

void SimStream::startCapture(exec::Resolver<void> done) {
  ++startCalls_;
  if (holdCompletions) {
    held_.push_back(std::move(done));
    return;
  }
  std::optional<Error> failure = owner_.captureStartFailure;
  // A target that is gone fails the start; a window off screen is waited for, as a real stream does.
  if (auto why = owner_.unavailable(filter_); !failure && why && why->code() == kGone) failure = why;
  if (!failure) {
    capturing_ = true;
    live_->store(true);
  }
  owner_.platformQueue_.post([done = std::move(done), failure] {
    if (failure) done.fail(*failure);
    else done.succeed();
  });
}

void SimStream::stopCapture(exec::Resolver<void> done) {
  ++stopCalls_;
  if (holdCompletions) {
    held_.push_back(std::move(done));
    return;
  }
  std::optional<Error> failure = owner_.captureStopFailure;
  if (!failure) {
    capturing_ = false;
    live_->store(false);
    if (recordingOutput_) recordingOutput_->streamDidStop(std::chrono::steady_clock::now());
  }
  owner_.platformQueue_.post([done = std::move(done), failure] {
    if (failure) done.fail(*failure);
    else done.succeed();
  });
}

void SimStream::emitFrame(bool isValid) {
  // A window's stream shows nothing while it is off screen, and nothing more once it is gone.
  if (!capturing_ || !loop_ || !handler_ || owner_.unavailable(filter_)) return;
  auto frame = std::make_shared<VideoFrame>();
  frame->isValid = isValid;
  frame->presentationTime = std::chrono::steady_clock::now();
  frame->index = nextIndex_++;
  auto image = makeImage(config_.width, config_.height);
  stamp(*image, frame->index);
  if (config_.showsCursor) drawPointer(*image);
  frame->image = std::move(image);
  ++stats_.grabs;
  ++stats_.delivered;
  FrameRef shared = std::move(frame);
  // A real stream hands frames to its recording output on its own thread.
  if (recordingOutput_ && isValid) recordingOutput_->streamDidOutputFrame(shared);
  loop_->post([live = live_, handler = handler_, frame = shared] {
    if (live->load()) handler(frame);
  });
}

}  // namespace vantor::platform::sim
