#pragma once
// BGRX frames to H.264: libyuv converts to I420, libx264 (through libavcodec)
// encodes. Used on one thread at a time.
//
// Settings, and why:
// - preset ultrafast: about 7 ms of CPU per changed 1080p frame here against
//   10–17 ms for superfast/veryfast. The agent shares the machine with what it
//   records; screen content compresses well even so.
// - tune zerolatency: no B-frames, no lookahead, sliced threads. Every frame
//   comes out as a packet at once, so pts = dts, nothing is held inside the
//   encoder when a take stops, and a killed process loses no encoder backlog.
// - CRF 23 (quality "standard"): constant quality, libx264's default; rate
//   follows the content (static screens cost almost nothing), no bitrate to
//   tune per size. "low" is CRF 30 (about a third of the bits), "high" CRF 18
//   (text stays sharp when scaled; about twice the bits).
// - A keyframe at least every 2 s of presentation time, forced per frame
//   (frames come at a variable rate, so a GOP counted in frames is not a
//   time bound); 120 frames as the encoder's own cap, 2 s at 60 fps.
//   Keyframes bound how much a torn file tail can take with it and let
//   players seek.
// - Two threads (slices): more slices cost compression and CPU the user's
//   applications would rather have.
// - Time base 1/90000: fine enough for any variable frame rate, the usual
//   MPEG clock.
// - yuv420p tagged BT.601 (smpte170m) limited range: what libyuv's
//   ARGBToI420 produces. Players that assumed BT.709 would shift colours.
//   Widths and heights are rounded down to even numbers, which 4:2:0 needs.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/recording_output.h"
#include "platform/video_frame.h"

struct AVBufferPool;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace vantor::platform::ffmpeg {

inline constexpr int kTicksPerSecond = 90000;
inline constexpr int64_t kMaxKeyframeInterval = 2 * kTicksPerSecond;

// Converts captured images into the encoder's input pictures (I420) on
// whichever thread calls it, so the capture buffer can go back to its pool
// at once instead of waiting in the encoder's queue: a queued picture is
// 3 MB at 1080p where a captured image is 8 MB. Pictures come from a pool
// and are recycled when the encoder lets them go. Thread-safe.
class PictureConverter {
 public:
  using Picture = std::shared_ptr<AVFrame>;

  PictureConverter(int width, int height);
  ~PictureConverter();
  PictureConverter(const PictureConverter&) = delete;
  PictureConverter& operator=(const PictureConverter&) = delete;

  bool fits(const PixelBuffer& image) const;
  // The top-left width × height pixels of `image`, or null when it does not
  // fit or no memory is left.
  Picture convert(const PixelBuffer& image) const;

 private:
  int width_, height_;
  AVBufferPool* pool_;
};

class H264Encoder {
 public:
  using PacketSink = std::function<void(AVPacket* packet)>;  // packet in kTicksPerSecond units

  // Frames are width × height (rounded down to even). Throws Error.
  H264Encoder(int width, int height, VideoQuality quality = VideoQuality::standard);
  // Throws the Error the constructor would for this size or a missing libx264,
  // without opening an encoder.
  static void checkAvailable(int width, int height);
  ~H264Encoder();
  H264Encoder(const H264Encoder&) = delete;
  H264Encoder& operator=(const H264Encoder&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  // For the muxer: stream parameters, extradata (SPS/PPS), time base.
  const AVCodecContext* context() const { return ctx_; }

  // Whether `image` can be encoded: at least the encoded size. Its top-left
  // width × height pixels are used.
  bool fits(const PixelBuffer& image) const;
  // Converts `image` into the encoder's input picture.
  void convert(const PixelBuffer& image);
  // Encodes the converted picture at `pts`, which must exceed the previous
  // one, and hands every packet that comes out to `sink`. Throws Error.
  void encodeConverted(int64_t pts, const PacketSink& sink);
  void encode(const PixelBuffer& image, int64_t pts, const PacketSink& sink) {
    convert(image);
    encodeConverted(pts, sink);
  }
  // Makes `picture` (from a PictureConverter of this size) the input picture
  // and encodes it at `pts`.
  void encode(const PictureConverter::Picture& picture, int64_t pts, const PacketSink& sink);
  // Drains the encoder at the end of the stream. Throws Error.
  void flush(const PacketSink& sink);

 private:
  void drain(const PacketSink& sink);
  void release();

  int width_, height_;
  AVCodecContext* ctx_ = nullptr;
  AVFrame* picture_ = nullptr;
  AVPacket* packet_ = nullptr;
  int64_t lastKeyframePts_ = INT64_MIN;
};

}  // namespace vantor::platform::ffmpeg
