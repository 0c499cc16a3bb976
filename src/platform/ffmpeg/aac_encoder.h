#pragma once
// libavcodec's native AAC encoder, set up the one way the agent encodes
// sound: what an export encodes from a file (aac_track.h) and what the audio
// writer encodes while a take runs (encoded_sound.h) must be the same
// stream, so either can go into the movie.
//
// Planar float in; the rate stays the input's when AAC has it (the
// recorder's 16 kHz does): resampling up would cost encoding time and bits
// and add nothing, since 16 kHz already holds everything up to 8 kHz that
// was recorded. Other rates go to 48 kHz. At most two channels.
//
// The "fast" coder at 64 kbit/s a channel (4 bits a sample at 16 kHz):
// encoding is most of an export's time, and this coder takes less than half
// as long as the default "twoloop" (60 s of sound: about 100 ms against
// 230 ms here). libavcodec's notes put it behind twoloop below 64 kbit/s,
// hence the rate; for 8 kHz of bandwidth that is generous.
//
// Times are in 1/rate from 0; the first packet has a negative time (the
// encoder's priming), which the MPEG-4 muxer turns into an edit list.

#include <string>

#include "platform/ffmpeg/av_handles.h"

namespace vantor::platform::ffmpeg {

struct AacEncoder {
  CodecHandle context;
  ParametersHandle parameters;  // for the muxer: extradata holds the AudioSpecificConfig
};

// The opened encoder for sound of `inputRate` and `inputChannels`. `what`
// names the sound in errors. Throws Error (kEncoderUnavailable, kCannotEncode).
AacEncoder openAacEncoder(int inputRate, int inputChannels, const std::string& what);

// Sends the first `samples` of `fifo` to `encoder` as one frame presented at
// `pts`, built in the scratch `frame`. 0 or an AVERROR code.
int sendAacFrame(AVCodecContext* encoder, AVAudioFifo* fifo, AVFrame* frame, int samples, int64_t pts);

}  // namespace vantor::platform::ffmpeg
