#include "platform/wayland/connection.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <algorithm>

#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace vantor::platform::wayland {
namespace {

template <typename... Args>
void ignore(void*, Args...) {}

void outputMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
  if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
  auto* o = static_cast<Output*>(data);
  o->modeWidth = width;
  o->modeHeight = height;
}

void outputGeometry(void* data, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*, const char*,
                    int32_t transform) {
  static_cast<Output*>(data)->transform = transform;
}

void outputScale(void* data, wl_output*, int32_t factor) { static_cast<Output*>(data)->scale = factor; }

// xdg-output names it as well, and wins: older compositors name outputs only there.
void outputName(void* data, wl_output*, const char* name) {
  auto* o = static_cast<Output*>(data);
  if (o->name.empty()) o->name = name;
}

const wl_output_listener kOutputListener = {
    .geometry = outputGeometry,
    .mode = outputMode,
    .done = ignore<wl_output*>,
    .scale = outputScale,
    .name = outputName,
    .description = ignore<wl_output*, const char*>,
};

void xdgPosition(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
  auto* o = static_cast<Output*>(data);
  o->x = x;
  o->y = y;
}

void xdgSize(void* data, zxdg_output_v1*, int32_t width, int32_t height) {
  auto* o = static_cast<Output*>(data);
  o->logicalWidth = width;
  o->logicalHeight = height;
}

void xdgName(void* data, zxdg_output_v1*, const char* name) { static_cast<Output*>(data)->name = name; }

const zxdg_output_v1_listener kXdgOutputListener = {
    .logical_position = xdgPosition,
    .logical_size = xdgSize,
    .done = ignore<zxdg_output_v1*>,
    .name = xdgName,
    .description = ignore<zxdg_output_v1*, const char*>,
};

}  // namespace

std::unique_ptr<Connection> Connection::open(bool forCopying) {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  wl_display* display = wl_display_connect(nullptr);
  if (!display) {
    int error = errno;
    throw waylandError(kConnectFailed, std::string("cannot connect to the Wayland compositor ") +
                                           (name && *name ? name : "wayland-0") + ": " + std::strerror(error));
  }
  std::unique_ptr<Connection> c(new Connection(display));
  static const wl_registry_listener listener = {.global = global, .global_remove = globalRemove};
  c->registry_ = wl_display_get_registry(display);
  wl_registry_add_listener(c->registry_, &listener, c.get());
  c->roundtrip();  // the globals
  if (forCopying && (!c->shm_ || !c->screencopy_))
    throw waylandError(kMissingProtocol, "the compositor offers no screen copying (wlr-screencopy)");
  for (auto& o : c->outputs_) c->describeOutput(*o);
  c->roundtrip();  // the outputs' modes, names and places
  for (auto& o : c->outputs_)
    if (o->logicalWidth <= 0) {  // no xdg-output: the mode, scaled
      o->logicalWidth = o->pixelWidth() / std::max(o->scale, 1);
      o->logicalHeight = o->pixelHeight() / std::max(o->scale, 1);
    }
  return c;
}

Connection::Connection(wl_display* display) : display_(display) {}

Connection::~Connection() {
  for (auto& o : outputs_) {
    if (o->xdgOutput) zxdg_output_v1_destroy(o->xdgOutput);
    wl_output_destroy(o->proxy);
  }
  if (screencopy_) zwlr_screencopy_manager_v1_destroy(screencopy_);
  if (xdgOutputManager_) zxdg_output_manager_v1_destroy(xdgOutputManager_);
  if (shm_) wl_shm_destroy(shm_);
  if (registry_) wl_registry_destroy(registry_);
  wl_display_disconnect(display_);
}

void Connection::global(void* data, wl_registry* registry, uint32_t name, const char* interface,
                        uint32_t version) {
  auto* c = static_cast<Connection*>(data);
  std::string_view is = interface;
  if (is == wl_shm_interface.name) {
    c->shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
  } else if (is == zxdg_output_manager_v1_interface.name && version >= 2) {
    c->xdgOutputManager_ = static_cast<zxdg_output_manager_v1*>(
        wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min(version, 3u)));
  } else if (is == zwlr_screencopy_manager_v1_interface.name) {
    c->screencopyVersion_ = int(std::min(version, 3u));
    c->screencopy_ = static_cast<zwlr_screencopy_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_screencopy_manager_v1_interface, uint32_t(c->screencopyVersion_)));
  } else if (is == wl_output_interface.name) {
    c->addOutput(name, version);
  }
}

void Connection::globalRemove(void* data, wl_registry*, uint32_t name) {
  auto* c = static_cast<Connection*>(data);
  std::erase_if(c->outputs_, [&](const std::unique_ptr<Output>& o) {
    if (o->globalName != name) return false;
    if (o->xdgOutput) zxdg_output_v1_destroy(o->xdgOutput);
    wl_output_destroy(o->proxy);
    return true;
  });
}

void Connection::addOutput(uint32_t name, uint32_t version) {
  auto o = std::make_unique<Output>();
  o->globalName = name;
  o->proxy = static_cast<wl_output*>(wl_registry_bind(registry_, name, &wl_output_interface, std::min(version, 4u)));
  wl_output_add_listener(o->proxy, &kOutputListener, o.get());
  // An output announced after the first round trip gets its xdg-output at once.
  if (xdgOutputManager_ && !outputs_.empty() && outputs_.front()->xdgOutput) describeOutput(*o);
  outputs_.push_back(std::move(o));
}

void Connection::describeOutput(Output& o) {
  if (!xdgOutputManager_ || o.xdgOutput) return;
  o.xdgOutput = zxdg_output_manager_v1_get_xdg_output(xdgOutputManager_, o.proxy);
  zxdg_output_v1_add_listener(o.xdgOutput, &kXdgOutputListener, &o);
}

const Output* Connection::findOutput(uint32_t globalName) const {
  for (auto& o : outputs_)
    if (o->globalName == globalName) return o.get();
  return nullptr;
}

const Output* Connection::findOutput(const std::string& name) const {
  for (auto& o : outputs_)
    if (o->name == name) return o.get();
  return nullptr;
}

void Connection::dispatchPending() {
  wl_display_flush(display_);
  if (wl_display_dispatch_pending(display_) < 0 || wl_display_get_error(display_))
    throw waylandError(kConnectionLost, "lost the connection to the Wayland compositor");
}

void Connection::roundtrip() {
  if (wl_display_roundtrip(display_) < 0)
    throw waylandError(kConnectionLost, "lost the connection to the Wayland compositor");
}

}  // namespace vantor::platform::wayland
