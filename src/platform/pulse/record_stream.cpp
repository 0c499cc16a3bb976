#include "platform/pulse/record_stream.h"

#include <pulse/def.h>

#include "platform/pulse/pulse_error.h"

namespace vantor::platform::pulse {

RecordStream::RecordStream(Client& client, const std::string& name, const pa_sample_spec& spec) : client_(client) {
  pa_channel_map map;
  if (!pa_sample_spec_valid(&spec) || !pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT))
    throw pulseError(PA_ERR_INVALID, "Cannot record in this format");
  Locked locked(client_.mainloop());
  stream_ = pa_stream_new(client_.context(), name.c_str(), &spec, &map);
  if (!stream_) throw pulseError(client_.lastError(), "Cannot create a recording stream");
  pa_stream_set_state_callback(
      stream_, [](pa_stream*, void* loop) { static_cast<Mainloop*>(loop)->signal(); }, &client_.mainloop());
}

RecordStream::~RecordStream() {
  Locked locked(client_.mainloop());
  // Callbacks only run under the lock: cleared here, none runs after.
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  if (connected_) pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
}

void RecordStream::onReadable(Reader reader) {
  Locked locked(client_.mainloop());
  reader_ = std::move(reader);
  pa_stream_set_read_callback(
      stream_, [](pa_stream*, size_t, void* self) { static_cast<RecordStream*>(self)->reader_(); }, this);
}

void RecordStream::connect(const std::string& source, uint32_t fragmentBytes) {
  Locked locked(client_.mainloop());
  pa_buffer_attr attr;
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = fragmentBytes;
  // ADJUST_LATENCY sets the source's latency from fragsize; without it an
  // idle sink's monitor delivers in chunks of up to two seconds.
  if (pa_stream_connect_record(stream_, source.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) < 0)
    throw pulseError(client_.lastError(), "Cannot record from " + source);
  connected_ = true;
  pa_stream* stream = stream_;
  bool settled = client_.mainloop().wait(
      [stream] {
        pa_stream_state_t s = pa_stream_get_state(stream);
        return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
      },
      kServerTimeout);
  if (!settled) throw pulseError(PA_ERR_TIMEOUT, "Cannot record from " + source);
  if (pa_stream_get_state(stream_) != PA_STREAM_READY) throw pulseError(client_.lastError(), "Cannot record from " + source);
}

void RecordStream::drain(const ChunkSink& sink) {
  while (pa_stream_readable_size(stream_) > 0) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) return;
    sink(data, bytes);
    pa_stream_drop(stream_);
  }
}

}  // namespace vantor::platform::pulse
