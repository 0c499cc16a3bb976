#pragma once
// An audio file's first audio stream as AAC packets: decoded, converted by
// libswresample to what the AAC encoder takes (planar float, its rate, at
// most two channels) and encoded as aac_encoder.h sets it up, as far as a
// given time.
//
// Packets come out one at a time, pulled by the muxer, so nothing beyond an
// encoder frame (1024 samples) is held. Their times are in 1/rate from 0;
// the first has a negative time (the encoder's priming). The last one ends
// at the given time exactly: the encoder sees nothing after it.

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
