#include "platform/portal/pipewire_receiver.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <linux/dma-buf.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <utility>

#include "platform/portal/screencast_portal.h"
#include "util/log.h"

namespace vantor::platform::portal {

struct PipeWireReceiver::Listeners {
  spa_hook core{}, stream{};
  pw_core_events coreEvents{};
  pw_stream_events streamEvents{};
};

PipeWireReceiver::PipeWireReceiver(int fd, uint32_t node) : listeners_(std::make_unique<Listeners>()) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
  readyFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  loop_ = pw_thread_loop_new("pw-portal", nullptr);
  context_ = loop_ ? pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0) : nullptr;
  if (!context_ || pw_thread_loop_start(loop_) < 0) {
    ::close(fd);
    tearDown();
    throw portalError(kStreamFailed, "cannot start a PipeWire client");
  }
  pw_thread_loop_lock(loop_);
  core_ = pw_context_connect_fd(context_, fd, nullptr, 0);  // takes fd, also on failure
  if (!core_) {
    pw_thread_loop_unlock(loop_);
    tearDown();
    throw portalError(kStreamFailed, "cannot connect to PipeWire through the portal's connection");
  }
  auto& l = *listeners_;
  l.coreEvents.version = PW_VERSION_CORE_EVENTS;
  l.coreEvents.error = [](void* data, uint32_t id, int, int, const char* message) {
    if (id == PW_ID_CORE) static_cast<PipeWireReceiver*>(data)->fail(std::string("PipeWire: ") + message);
  };
  pw_core_add_listener(core_, &l.core, &l.coreEvents, this);
  l.streamEvents.version = PW_VERSION_STREAM_EVENTS;
  l.streamEvents.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char* error) {
    static_cast<PipeWireReceiver*>(data)->onStateChanged(state, error);
  };
  l.streamEvents.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
    static_cast<PipeWireReceiver*>(data)->onParamChanged(id, param);
  };
  l.streamEvents.process = [](void* data) { static_cast<PipeWireReceiver*>(data)->onProcess(); };
  stream_ = pw_stream_new(core_, "vantor",
                          pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                            PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  if (stream_) pw_stream_add_listener(stream_, &l.stream, &l.streamEvents, this);

  // Four-byte pixels only, any size and rate: what screen casts offer.
  uint8_t storage[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  spa_rectangle size{1920, 1080}, smallest{1, 1}, largest{16384, 16384};
  spa_fraction rate{0, 1}, slowest{0, 1}, fastest{1000, 1};
  const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest), SPA_FORMAT_VIDEO_framerate,
      SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &fastest)))};
  int r = stream_ ? pw_stream_connect(stream_, PW_DIRECTION_INPUT, node,
                                      pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1)
                  : -1;
  pw_thread_loop_unlock(loop_);
  if (r < 0) {
    tearDown();
    throw portalError(kStreamFailed, "cannot connect to the portal's PipeWire stream");
  }
}

PipeWireReceiver::~PipeWireReceiver() { tearDown(); }

void PipeWireReceiver::tearDown() {
  if (loop_) {
    pw_thread_loop_lock(loop_);
    if (stream_) pw_stream_destroy(std::exchange(stream_, nullptr));
    if (core_) pw_core_disconnect(std::exchange(core_, nullptr));
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
  }
  if (context_) pw_context_destroy(std::exchange(context_, nullptr));
  if (loop_) pw_thread_loop_destroy(std::exchange(loop_, nullptr));
  if (readyFd_ >= 0) ::close(std::exchange(readyFd_, -1));
}

void PipeWireReceiver::fail(std::string what) {
  if (broken_.load()) return;
  failure_ = std::move(what);
  broken_.store(true, std::memory_order_release);
  uint64_t one = 1;
  (void)!::write(readyFd_, &one, sizeof one);
}

bool PipeWireReceiver::takeNewest() {
  // The front image belongs to one consumer thread; a second would read what
  // the first hands back to PipeWire.
  if (consumer_ == std::thread::id()) consumer_ = std::this_thread::get_id();
  if (consumer_ != std::this_thread::get_id()) {
    logError("portal: frames taken on a second thread");
    std::abort();
  }
  uint64_t drained;
  (void)!::read(readyFd_, &drained, sizeof drained);
  if (!(middle_.load(std::memory_order_acquire) & kFresh)) return false;
  front_ = middle_.exchange(front_, std::memory_order_acq_rel) & 3;
  return true;
}

void PipeWireReceiver::onStateChanged(int state, const char* error) {
  if (state == PW_STREAM_STATE_ERROR) fail(std::string("the screen-sharing stream failed: ") + (error ? error : "?"));
  else if (state == PW_STREAM_STATE_UNCONNECTED) fail("the desktop stopped sharing the screen");
  // A producer that goes away leaves the stream paused, not ended: said
  // once, and the take goes on in case it comes back.
  if (state == PW_STREAM_STATE_STREAMING) streamed_ = true;
  else if (state == PW_STREAM_STATE_PAUSED && streamed_ && !toldPaused_) {
    toldPaused_ = true;
    logInfo("portal: the screen-sharing stream paused; no pictures come until it resumes");
  }
}

void PipeWireReceiver::onParamChanged(uint32_t id, const spa_pod* param) {
  if (!param || id != SPA_PARAM_Format) return;
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(param, &info) < 0) return;
  format_ = info.format;
  width_ = int(info.size.width);
  height_ = int(info.size.height);
  // Shared memory, or a DMA-BUF: without modifiers announced, a producer
  // only offers linear ones, which map like memory.
  uint8_t storage[256];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_DmaBuf))))};
  pw_stream_update_params(stream_, params, 1);
}

// PipeWire's thread: copies the newest buffer into the back image, hands it
// over, and gives the buffer back at once.
void PipeWireReceiver::onProcess() {
  if (!pw_thread_loop_in_thread(loop_)) {  // the back image is this thread's alone
    logError("portal: PipeWire delivered outside its thread loop");
    std::abort();
  }
  pw_buffer* newest = nullptr;
  while (pw_buffer* b = pw_stream_dequeue_buffer(stream_)) {
    if (newest) pw_stream_queue_buffer(stream_, newest);
    newest = b;
  }
  if (!newest) return;
  if (newest->buffer->n_datas < 1) return pw_stream_queue_buffer(stream_, newest), void();
  spa_data& d = newest->buffer->datas[0];
  const int width = width_, height = height_;
  const bool usable = d.chunk && d.chunk->size > 0 && !(d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) && width > 0;
  const uint8_t* pixels = static_cast<const uint8_t*>(d.data);
  void* mapped = MAP_FAILED;
  if (usable && !pixels && d.type == SPA_DATA_DmaBuf) {
    mapped = mmap(nullptr, d.maxsize + d.mapoffset, PROT_READ, MAP_SHARED, int(d.fd), 0);
    if (mapped != MAP_FAILED) {
      dma_buf_sync sync{DMA_BUF_SYNC_START | DMA_BUF_SYNC_READ};
      ioctl(int(d.fd), DMA_BUF_IOCTL_SYNC, &sync);
      pixels = static_cast<const uint8_t*>(mapped) + d.mapoffset;
    }
  }
  const int stride = usable && d.chunk->stride > 0 ? d.chunk->stride : width * 4;
  if (pixels && usable && size_t(d.chunk->offset) + size_t(stride) * height <= d.maxsize) {
    pixels += d.chunk->offset;
    auto& image = images_[back_];
    if (!image || image->width != width || image->height != height) image = makeImage(width, height);
    if (format_ == SPA_VIDEO_FORMAT_RGBx || format_ == SPA_VIDEO_FORMAT_RGBA)
      libyuv::ABGRToARGB(pixels, stride, image->data, image->stride, width, height);
    else
      libyuv::ARGBCopy(pixels, stride, image->data, image->stride, width, height);
    back_ = middle_.exchange(back_ | kFresh, std::memory_order_acq_rel) & 3;
    uint64_t one = 1;
    (void)!::write(readyFd_, &one, sizeof one);
  } else if (usable && !told_) {
    told_ = true;
    logError("portal: a frame of the screen-sharing stream could not be read (buffer type " + std::to_string(d.type) +
             "); such frames are skipped");
  }
  if (mapped != MAP_FAILED) {
    dma_buf_sync sync{DMA_BUF_SYNC_END | DMA_BUF_SYNC_READ};
    ioctl(int(d.fd), DMA_BUF_IOCTL_SYNC, &sync);
    munmap(mapped, d.maxsize + d.mapoffset);
  }
  pw_stream_queue_buffer(stream_, newest);
}

}  // namespace vantor::platform::portal
