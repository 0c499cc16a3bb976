#pragma once
// An audio file's first audio stream as AAC packets: decoded, converted by
// libswresample to what libavcodec's native AAC encoder takes (planar float,
// at most two channels) and encoded, as far as a given time.
//
// The rate stays the source's when AAC has it (the recorder's 16 kHz does):
// resampling up would cost encoding time and bits and add nothing, since
// 16 kHz already holds everything up to 8 kHz that was recorded. Other
// rates go to 48 kHz.
//
// The encoder's "fast" coder at 64 kbit/s a channel (4 bits a sample at
// 16 kHz): encoding is most of an export's time, and this coder takes less
// than half as long as the default "twoloop" (60 s of sound: about 100 ms
// against 230 ms here). libavcodec's notes put it behind twoloop below 64
// kbit/s, hence the rate; for 8 kHz of bandwidth that is generous.
//
// Packets come out one at a time, pulled by the muxer, so nothing beyond an
// encoder frame (1024 samples) is held. Their times are in 1/rate from 0;
// the first has a negative time (the encoder's priming), which the MPEG-4
// muxer turns into an edit list.

#include <cstdint>
#include <filesystem>

#include "platform/ffmpeg/av_handles.h"
#include "platform/media.h"

namespace vantor::platform::ffmpeg {

class AacTrack {
 public:
  // Opens `source`'s first audio stream and the encoder; keeps [0, duration)
  // of it. Throws Error.
  AacTrack(const std::filesystem::path& source, MediaTime duration);
  AacTrack(const AacTrack&) = delete;
  AacTrack& operator=(const AacTrack&) = delete;

  // For the muxer: stream parameters with extradata, and the packets' time
  // base. Fixed once made, so other threads may read them while next() runs.
  const AVCodecParameters* parameters() const { return parameters_.get(); }
  AVRational timeBase() const { return timeBase_; }

  // The next packet, in timeBase(); false after the last. Throws Error.
  bool next(AVPacket* packet);

 private:
  bool sendFrames();
  void decodeMore();
  void resample(const AVFrame* decoded);
  void sendFifo(int samples);

  std::filesystem::path source_;
  InputHandle input_;
  int streamIndex_ = -1;
  CodecHandle decoder_;
  CodecHandle encoder_;
  ResamplerHandle resampler_;
  FifoHandle fifo_;
  PacketHandle readPacket_;
  FrameHandle decoded_;
  FrameHandle frame_;
  ParametersHandle parameters_;
  AVRational timeBase_{};
  int64_t inputLimit_ = 0;     // source samples to keep
  int64_t inputTaken_ = 0;     // source samples fed to the resampler
  int64_t outputSamples_ = 0;  // samples sent to the encoder: the next frame's pts
  bool inputDone_ = false;     // decoder and resampler drained into the FIFO
  bool encoderFlushed_ = false;
};

}  // namespace vantor::platform::ffmpeg
