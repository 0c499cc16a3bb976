#include "platform/ffmpeg/ffmpeg_media_asset.h"

#include "platform/ffmpeg/input_file.h"
#include "platform/ffmpeg/media_error.h"

namespace vantor::platform::ffmpeg {

int FfmpegMediaAsset::loadTracks(MediaType type) {
  InputHandle input = openInputFile(path_);
  return countStreams(input.get(), type == MediaType::Video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO);
}

MediaTime FfmpegMediaAsset::loadDuration() {
  InputHandle input = openInputFile(path_);
  std::vector<int64_t> ends = streamEnds(input.get(), path_);
  std::optional<MediaTime> latest;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* st = input->streams[i];
    AVMediaType type = st->codecpar->codec_type;
    if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO) continue;
    // end × num / den seconds, exactly, as a count of 1/den.
    MediaTime end{ends[i] * st->time_base.num, st->time_base.den};
    if (!latest || *latest < end) latest = end;
  }
  if (!latest) throw mediaError(kMissingTrack, path_.string() + " holds neither audio nor video");
  return *latest;
}

}  // namespace vantor::platform::ffmpeg
