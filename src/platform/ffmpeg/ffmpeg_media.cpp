#include "platform/ffmpeg/ffmpeg_media.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "util/log.h"
#include "platform/ffmpeg/composition_export.h"
#include "platform/ffmpeg/encoded_sound.h"
#include "platform/ffmpeg/ffmpeg_audio_writer.h"
#include "platform/ffmpeg/ffmpeg_media_asset.h"
#include "platform/ffmpeg/ffmpeg_recording_output.h"
#include "platform/ffmpeg/ffmpeg_video_writer.h"

namespace vantor::platform {

namespace {

// FFmpeg writes a line in pieces; each thread gathers its own until the newline.
void logFromFfmpeg(void* object, int level, const char* format, va_list args) {
  if (level > AV_LOG_ERROR) return;
  thread_local std::string pending;
  thread_local int printPrefix = 1;
  char piece[1024];
  av_log_format_line2(object, level, format, args, piece, sizeof piece, &printPrefix);
  pending += piece;
  if (!pending.empty() && pending.back() == '\n') {
    pending.pop_back();
    logError("ffmpeg: " + pending);
    pending.clear();
  }
}

class FfmpegMediaServices final : public MediaServices {
 public:
  std::string name() const override { return "FFmpeg"; }
  explicit FfmpegMediaServices(std::shared_ptr<ffmpeg::EncodedSoundRegistry> sounds) : sounds_(std::move(sounds)) {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(logFromFfmpeg); });
  }

  std::unique_ptr<VideoWriter> createVideoWriter(const std::filesystem::path& path, int width, int height,
                                                 VideoQuality quality) override {
    return std::make_unique<ffmpeg::FfmpegVideoWriter>(path, width, height, quality);
  }

  std::shared_ptr<RecordingOutput> createRecordingOutput(const RecordingOutputConfiguration& config,
                                                         std::weak_ptr<RecordingOutputDelegate> delegate) override {
    return std::make_shared<ffmpeg::FfmpegRecordingOutput>(config, std::move(delegate));
  }

  std::unique_ptr<AudioFileWriter> createAudioFileWriter(const std::filesystem::path& path,
                                                         double sampleRate) override {
    return std::make_unique<ffmpeg::FfmpegAudioWriter>(path, sampleRate, sounds_);
  }

  std::unique_ptr<MediaAsset> openAsset(const std::filesystem::path& path) override {
    return std::make_unique<ffmpeg::FfmpegMediaAsset>(path);
  }

  ExportOutcome exportComposition(const Composition& composition, const std::filesystem::path& out) override {
    return ffmpeg::exportComposition(composition, out, sounds_.get());
  }

 private:
  // What the audio writers encoded while they wrote, for the exports.
  std::shared_ptr<ffmpeg::EncodedSoundRegistry> sounds_;
};

}  // namespace

std::unique_ptr<MediaServices> makeFfmpegMediaServices(std::shared_ptr<ffmpeg::EncodedSoundRegistry> sounds) {
  if (!sounds) sounds = std::make_shared<ffmpeg::EncodedSoundRegistry>();
  return std::make_unique<FfmpegMediaServices>(std::move(sounds));
}

}  // namespace vantor::platform
