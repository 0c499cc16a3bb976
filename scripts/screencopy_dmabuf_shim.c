// Preloaded into xdg-desktop-portal-wlr on a compositor without a GPU.
// xdpw 0.7 waits for a linux_dmabuf event of each wlr-screencopy frame
// before it will negotiate a format, and a software-rendering compositor
// never sends one, so Start fails. After each wl_shm `buffer` event this
// also delivers a `linux_dmabuf` event of the same format; with no
// zwp_linux_dmabuf_v1 global xdpw still hands PipeWire shared memory, so the
// made-up DMA-BUF format is never allocated.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wayland-client.h>

// zwlr_screencopy_frame_v1's events, in protocol order.
struct frame_listener {
  void (*buffer)(void*, void*, uint32_t format, uint32_t width, uint32_t height, uint32_t stride);
  void (*flags)(void*, void*, uint32_t);
  void (*ready)(void*, void*, uint32_t, uint32_t, uint32_t);
  void (*failed)(void*, void*);
  void (*damage)(void*, void*, uint32_t, uint32_t, uint32_t, uint32_t);
  void (*linux_dmabuf)(void*, void*, uint32_t format, uint32_t width, uint32_t height);
  void (*buffer_done)(void*, void*);
};

struct wrapped {
  struct frame_listener ours;
  const struct frame_listener* theirs;
  void* data;
};

// wl_shm's two formats numbered apart from DRM's fourcc codes.
static uint32_t drm_format(uint32_t shm) {
  if (shm == 0) return 0x34325241;  // ARGB8888 → AR24
  if (shm == 1) return 0x34325258;  // XRGB8888 → XR24
  return shm;
}

static void on_buffer(void* data, void* frame, uint32_t format, uint32_t width, uint32_t height, uint32_t stride) {
  struct wrapped* w = data;
  if (w->theirs->buffer) w->theirs->buffer(w->data, frame, format, width, height, stride);
  if (w->theirs->linux_dmabuf) w->theirs->linux_dmabuf(w->data, frame, drm_format(format), width, height);
}
static void on_flags(void* data, void* frame, uint32_t flags) {
  struct wrapped* w = data;
  if (w->theirs->flags) w->theirs->flags(w->data, frame, flags);
}
static void on_ready(void* data, void* frame, uint32_t a, uint32_t b, uint32_t c) {
  struct wrapped* w = data;
  if (w->theirs->ready) w->theirs->ready(w->data, frame, a, b, c);
  free(w);  // a frame's last event
}
static void on_failed(void* data, void* frame) {
  struct wrapped* w = data;
  if (w->theirs->failed) w->theirs->failed(w->data, frame);
  free(w);  // a frame's last event
}
static void on_damage(void* data, void* frame, uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
  struct wrapped* w = data;
  if (w->theirs->damage) w->theirs->damage(w->data, frame, x, y, width, height);
}
static void on_linux_dmabuf(void* data, void* frame, uint32_t format, uint32_t width, uint32_t height) {
  (void)data, (void)frame, (void)format, (void)width, (void)height;  // ours stands in for it
}
static void on_buffer_done(void* data, void* frame) {
  struct wrapped* w = data;
  if (w->theirs->buffer_done) w->theirs->buffer_done(w->data, frame);
}

int wl_proxy_add_listener(struct wl_proxy* proxy, void (**implementation)(void), void* data) {
  static int (*real)(struct wl_proxy*, void (**)(void), void*);
  if (!real) real = (int (*)(struct wl_proxy*, void (**)(void), void*))dlsym(RTLD_NEXT, "wl_proxy_add_listener");
  if (strcmp(wl_proxy_get_class(proxy), "zwlr_screencopy_frame_v1") != 0) return real(proxy, implementation, data);
  // One per frame, freed after its last event (ready or failed).
  struct wrapped* w = calloc(1, sizeof *w);
  if (!w) return -1;
  w->theirs = (const struct frame_listener*)implementation;
  w->data = data;
  w->ours = (struct frame_listener){on_buffer, on_flags, on_ready, on_failed, on_damage, on_linux_dmabuf, on_buffer_done};
  return real(proxy, (void (**)(void))&w->ours, w);
}
