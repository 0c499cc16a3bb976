#include "output/video_audio_muxer.h"

#include <fmt/format.h>

#include "util/log.h"
#include "exec/completion.h"

namespace vantor {

namespace {

Error muxError(int code) {
  return Error("Vantor.Mux", code, fmt::format("The operation couldn\u2019t be completed. (Vantor.Mux error {}.)", code));
}

std::string describeOptional(const std::optional<Error>& error) {
  if (!error) return "nil";
  return fmt::format("Optional(Error Domain={} Code={} \"{}\")", error->domain(), error->code(), error->description());
}

}  // namespace

std::string VideoAudioMuxer::formatSeconds(double seconds) {
  std::string text = fmt::format("{}", seconds);
  if (text.find_first_of(".eni") == std::string::npos) text += ".0";
  return text;
}

asio::awaitable<void> VideoAudioMuxer::mux(platform::MediaServices& media, exec::Loop& worker, std::filesystem::path video,
                                           std::filesystem::path audio, std::filesystem::path out) {
  // Reading a long movie's index and copying it takes long enough that it
  // must not hold up the main loop.
  // The outcome comes back as a value: the error is copied into the main
  // loop's task, so nothing the worker made is shared between the threads.
  std::optional<Error> failure =
      co_await exec::awaitCompletion<std::optional<Error>>([&](exec::Resolver<std::optional<Error>> done) {
        worker.post([&media, video, audio, out, done] {
          try {
            muxNow(media, video, audio, out);
            done.succeed(std::nullopt);
          } catch (const Error& e) {
            done.succeed(e);
          } catch (const std::exception& e) {
            done.succeed(Error("Vantor.Mux", 0, e.what()));
          }
        });
      });
  if (failure) throw *failure;
}

void VideoAudioMuxer::muxNow(platform::MediaServices& media, const std::filesystem::path& video,
                             const std::filesystem::path& audio, const std::filesystem::path& out) {
  using platform::MediaType;
  std::unique_ptr<platform::MediaAsset> videoAsset = media.openAsset(video);
  std::unique_ptr<platform::MediaAsset> audioAsset = media.openAsset(audio);

  if (videoAsset->loadTracks(MediaType::Video) < 1) throw muxError(1);
  platform::MediaTime vDur = videoAsset->loadDuration();
  platform::Composition composition;
  composition.video = platform::CompositionTrack{video, MediaType::Video, vDur};

  int audioTracks = 0;
  try {
    audioTracks = audioAsset->loadTracks(MediaType::Audio);
  } catch (const std::exception&) {
    // An unreadable audio file counts as one without sound.
  }
  bool audioPresent = audioTracks > 0;
  platform::MediaTime aDur{0, 1};
  if (audioPresent) {
    aDur = audioAsset->loadDuration();
    composition.audio = platform::CompositionTrack{audio, MediaType::Audio, vDur < aDur ? vDur : aDur};
  }

  logInfo(fmt::format("mux: audioTrack={} aDur={}s vDur={}s video={} audio={}", audioPresent ? "true" : "false",
                      formatSeconds(aDur.seconds()), formatSeconds(vDur.seconds()), video.filename().string(),
                      audio.filename().string()));
  if (!audioPresent) logError("mux: audio file has NO audio track \u2014 output will be silent");

  std::error_code ignored;
  std::filesystem::remove(out, ignored);
  platform::ExportOutcome outcome = media.exportComposition(composition, out);
  logInfo(fmt::format("mux: export status={} err={}", outcome.status, describeOptional(outcome.error)));
  if (outcome.status == platform::ExportOutcome::kCompleted) return;
  if (outcome.error) throw *outcome.error;
  throw muxError(3);
}

}  // namespace vantor
