#pragma once
// MediaAsset over libavformat. Each load opens the file afresh, so an asset
// made before its file is complete sees what is there when it loads, and
// holds nothing open in between.
//
// loadDuration is the latest end of the file's audio and video streams, in
// the time base of the stream that ends last (input_file.h says how each
// end is found, and what that costs).

#include <filesystem>

#include "platform/media.h"

namespace vantor::platform::ffmpeg {

class FfmpegMediaAsset final : public MediaAsset {
 public:
  explicit FfmpegMediaAsset(std::filesystem::path path) : path_(std::move(path)) {}

  int loadTracks(MediaType type) override;
  MediaTime loadDuration() override;

 private:
  std::filesystem::path path_;
};

}  // namespace vantor::platform::ffmpeg
