#include "platform/ffmpeg/composition_export.h"

#include <fmt/format.h>

#include <functional>
#include <memory>
#include <system_error>
#include <vector>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
}

#include "util/log.h"
#include "platform/ffmpeg/aac_track.h"
#include "platform/ffmpeg/av_handles.h"
#include "platform/ffmpeg/copied_track.h"
#include "platform/ffmpeg/encoded_sound.h"
#include "platform/ffmpeg/media_error.h"
#include "platform/ffmpeg/packet_pump.h"

namespace vantor::platform::ffmpeg {

namespace {

// One track on its way into the movie: where its packets come from, in
// which time base, and the one read ahead for ordering.
struct Lane {
  std::function<bool(AVPacket*)> pull;
  AVRational timeBase{};
  PacketHandle head{av_packet_alloc()};
  bool hasHead = false;
  AVStream* stream = nullptr;
};

void checkDuration(const CompositionTrack& track, const char* which) {
  if (!track.duration.isValid() || track.duration.value < 0)
    throw mediaError(kInvalidComposition, fmt::format("cannot export {}: its {} duration ({}/{}) is not a time",
                                                      track.source.string(), which, track.duration.value,
                                                      track.duration.timescale));
}

// The output file: removed unless kept, so a failure leaves nothing behind.
class OutputFile {
 public:
  explicit OutputFile(const std::filesystem::path& path) : path_(path) {
    AVFormatContext* raw = nullptr;
    int r = avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr);
    if (r < 0) fail(kCannotCreate, r);
    format_.reset(raw);
  }
  ~OutputFile() {
    if (created_ && !kept_) {
      format_.reset();  // closes it first
      std::error_code ignored;
      std::filesystem::remove(path_, ignored);
    }
  }

  AVFormatContext* get() const { return format_.get(); }

  void open() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
    int r = avio_open(&format_->pb, path_.c_str(), AVIO_FLAG_WRITE);
    if (r < 0) fail(kCannotCreate, r);
    created_ = true;
    AVDictionary* options = nullptr;
    // The colour tags the takes carry stay on the copied track.
    av_dict_set(&options, "movflags", "+write_colr", 0);
    r = avformat_write_header(format_.get(), &options);
    av_dict_free(&options);
    if (r < 0) fail(kCannotCreate, r);
  }

  void write(AVPacket* packet) {
    int r = av_interleaved_write_frame(format_.get(), packet);
    if (r < 0) fail(kCannotWrite, r);
  }

  void finish() {
    int r = av_write_trailer(format_.get());
    if (r < 0) fail(kCannotWrite, r);
    r = avio_closep(&format_->pb);
    if (r < 0) fail(kCannotWrite, r);
    kept_ = true;
  }

 private:
  [[noreturn]] void fail(MediaErrorCode code, int r) {
    throw mediaError(code, fmt::format("cannot {} {}: {}", code == kCannotCreate ? "create" : "write",
                                       path_.string(), avErrorText(r)));
  }

  std::filesystem::path path_;
  OutputHandle format_;
  bool created_ = false;
  bool kept_ = false;
};

void exportNow(const Composition& composition, const std::filesystem::path& out, EncodedSoundRegistry* sounds) {
  if (!composition.video && !composition.audio)
    throw mediaError(kInvalidComposition, "cannot export " + out.string() + ": the composition has no tracks");
  std::unique_ptr<CopiedTrack> video;
  std::unique_ptr<AacTrack> audio;
  if (composition.video) {
    checkDuration(*composition.video, "video");
    video = std::make_unique<CopiedTrack>(composition.video->source, MediaType::Video, composition.video->duration);
  }
  std::unique_ptr<EncodedTrack> preEncoded;  // its packets' file closes with it, after the export
  std::unique_ptr<PacketPump> encoded;
  if (composition.audio) {
    checkDuration(*composition.audio, "audio");
    if (sounds) {
      if (auto sound = sounds->take(composition.audio->source))
        preEncoded = std::make_unique<EncodedTrack>(std::move(sound), composition.audio->duration);
    }
  }
  if (composition.audio && !preEncoded) {
    audio = std::make_unique<AacTrack>(composition.audio->source, composition.audio->duration);
    // The sound is encoded while the video is copied. 256 packets are 16 s at 16 kHz.
    encoded = std::make_unique<PacketPump>([track = audio.get()](AVPacket* p) { return track->next(p); }, 256,
                                           "export-aac");
  }

  OutputFile file(out);
  std::vector<Lane> lanes;
  auto addLane = [&](std::function<bool(AVPacket*)> pull, AVRational timeBase, auto setUp) {
    Lane lane;
    if (!lane.head) throw mediaError(kCannotWrite, "cannot export " + out.string() + ": out of memory");
    lane.pull = std::move(pull);
    lane.timeBase = timeBase;
    lane.hasHead = lane.pull(lane.head.get());
    if (!lane.hasHead) return;  // nothing within its duration
    lane.stream = avformat_new_stream(file.get(), nullptr);
    if (!lane.stream) throw mediaError(kCannotCreate, "cannot create " + out.string() + ": out of memory");
    int r = setUp(lane.stream->codecpar);
    if (r < 0) throw mediaError(kCannotCreate, "cannot create " + out.string() + ": " + avErrorText(r));
    lane.stream->time_base = timeBase;
    lanes.push_back(std::move(lane));
  };
  if (video) {
    const AVStream* source = video->stream();
    addLane([&](AVPacket* p) { return video->next(p); }, source->time_base, [&](AVCodecParameters* par) {
      int r = avcodec_parameters_copy(par, source->codecpar);
      par->codec_tag = 0;  // the source container's tag may not be the MPEG-4 muxer's
      return r;
    });
  }
  if (preEncoded) {
    // Reading the packets back is quick: no thread of its own.
    addLane([&](AVPacket* p) { return preEncoded->next(p); }, preEncoded->timeBase(),
            [&](AVCodecParameters* par) { return avcodec_parameters_copy(par, preEncoded->parameters()); });
  } else if (audio) {
    addLane([&](AVPacket* p) { return encoded->next(p); }, audio->timeBase(),
            [&](AVCodecParameters* par) { return avcodec_parameters_copy(par, audio->parameters()); });
  }
  if (lanes.empty())
    throw mediaError(kInvalidComposition, "cannot export " + out.string() + ": its tracks hold nothing to export");

  file.open();
  for (;;) {
    // The earliest head by decode time goes next.
    Lane* next = nullptr;
    for (auto& lane : lanes)
      if (lane.hasHead && (!next || av_compare_ts(lane.head->dts, lane.timeBase, next->head->dts, next->timeBase) < 0))
        next = &lane;
    if (!next) break;
    AVPacket* packet = next->head.get();
    packet->stream_index = next->stream->index;
    packet->pos = -1;
    // The muxer may have chosen another time base for the stream in its header.
    av_packet_rescale_ts(packet, next->timeBase, next->stream->time_base);
    file.write(packet);  // takes the packet's data
    next->hasHead = next->pull(packet);
  }
  file.finish();
}

}  // namespace

ExportOutcome exportComposition(const Composition& composition, const std::filesystem::path& out,
                                EncodedSoundRegistry* sounds) {
  try {
    exportNow(composition, out, sounds);
    return {ExportOutcome::kCompleted, std::nullopt};
  } catch (const Error& e) {
    logError(fmt::format("export: {}", e.description()));
    return {ExportOutcome::kFailed, e};
  } catch (const std::exception& e) {  // out of memory in our own containers
    logError(fmt::format("export {}: {}", out.string(), e.what()));
    return {ExportOutcome::kFailed, mediaError(kCannotWrite, "cannot export " + out.string() + ": " + e.what())};
  }
}

}  // namespace vantor::platform::ffmpeg
