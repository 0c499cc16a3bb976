#include "platform/wayland/sway_ipc.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/wayland/connection.h"

namespace vantor::platform::wayland {
namespace {

using nlohmann::json;

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr uint32_t kSubscribe = 2, kGetTree = 4;
constexpr uint32_t kEventBit = 0x80000000u;

Error lost() { return waylandError(kConnectionLost, "lost the connection to sway's IPC socket"); }

// Children of a node in stacking order, the top first: floating above tiled,
// each by how recently it had the focus.
const json& member(const json& node, const char* name) {
  static const json kNone = json::array();
  auto at = node.find(name);
  return at != node.end() && at->is_array() ? *at : kNone;
}

std::vector<const json*> stacked(const json& node) {
  std::vector<const json*> floating, tiled;
  for (const json& c : member(node, "floating_nodes")) floating.push_back(&c);
  for (const json& c : member(node, "nodes")) tiled.push_back(&c);
  const json& focus = member(node, "focus");
  auto rank = [&](const json* c) {
    auto at = std::find(focus.begin(), focus.end(), c->value("id", json()));
    return at - focus.begin();
  };
  auto byFocus = [&](const json* a, const json* b) { return rank(a) < rank(b); };
  std::stable_sort(floating.begin(), floating.end(), byFocus);
  std::stable_sort(tiled.begin(), tiled.end(), byFocus);
  floating.insert(floating.end(), tiled.begin(), tiled.end());
  return floating;
}

std::string text(const json& node, const char* name) {
  auto at = node.find(name);
  return at != node.end() && at->is_string() ? at->get<std::string>() : "";
}

int number(const json& node, const char* name) {
  auto at = node.find(name);
  return at != node.end() && at->is_number() ? at->get<int>() : 0;
}

void collect(const json& node, const std::string& output, std::vector<SwayWindow>& into) {
  std::string type = text(node, "type");
  std::string here = type == "output" ? text(node, "name") : output;
  bool leaf = member(node, "nodes").empty() && member(node, "floating_nodes").empty() &&
              (type == "con" || type == "floating_con");
  if (leaf && node.contains("pid")) {
    const json& rect = node.value("rect", json::object());
    // The content inside borders and title, relative to the container.
    json inner = node.value("window_rect", json::object());
    if (number(inner, "width") <= 0) inner = {{"x", 0}, {"y", 0}, {"width", number(rect, "width")}, {"height", number(rect, "height")}};
    std::string app = text(node, "app_id");
    if (app.empty()) app = text(node.value("window_properties", json::object()), "class");  // Xwayland
    into.push_back({node.value("id", int64_t(0)), text(node, "name"), app, here,
                    Region{number(rect, "x") + number(inner, "x"), number(rect, "y") + number(inner, "y"),
                           number(inner, "width"), number(inner, "height")},
                    node.value("visible", false)});
    return;
  }
  for (const json* c : stacked(node)) collect(*c, here, into);
}

}  // namespace

std::optional<std::string> SwayIpc::socketPath() {
  const char* path = std::getenv("SWAYSOCK");
  if (!path || !*path) return std::nullopt;
  return std::string(path);
}

std::unique_ptr<SwayIpc> SwayIpc::open(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (fd < 0 || path.size() >= sizeof address.sun_path) {
    if (fd >= 0) close(fd);
    throw waylandError(kConnectFailed, "cannot reach sway's IPC socket " + path);
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    close(fd);
    throw waylandError(kConnectFailed, "cannot reach sway's IPC socket " + path + ": " + std::strerror(error));
  }
  return std::unique_ptr<SwayIpc>(new SwayIpc(fd));
}

SwayIpc::~SwayIpc() { close(fd_); }

void SwayIpc::send(uint32_t type, const std::string& payload) {
  std::string message(kMagic, sizeof kMagic);
  uint32_t header[2] = {uint32_t(payload.size()), type};
  message.append(reinterpret_cast<const char*>(header), sizeof header);
  message += payload;
  for (size_t sent = 0; sent < message.size();) {
    ssize_t n = ::send(fd_, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw lost();
    sent += size_t(n);
  }
}

std::pair<uint32_t, std::string> SwayIpc::receive() {
  auto readAll = [&](char* into, size_t size) {
    for (size_t got = 0; got < size;) {
      ssize_t n = ::read(fd_, into + got, size - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw lost();
      got += size_t(n);
    }
  };
  char header[sizeof kMagic + 8];
  readAll(header, sizeof header);
  if (std::memcmp(header, kMagic, sizeof kMagic) != 0) throw lost();
  uint32_t size, type;
  std::memcpy(&size, header + sizeof kMagic, 4);
  std::memcpy(&type, header + sizeof kMagic + 4, 4);
  std::string payload(size, '\0');
  readAll(payload.data(), size);
  return {type, std::move(payload)};
}

std::string SwayIpc::ask(uint32_t type, const std::string& payload) {
  send(type, payload);
  for (;;) {
    auto [got, reply] = receive();
    if (got == type) return reply;  // events that came first are dropped: the caller asks afresh
  }
}

std::vector<SwayWindow> SwayIpc::windows() {
  json tree = json::parse(ask(kGetTree, ""), nullptr, false);
  if (!tree.is_object()) throw waylandError(kConnectionLost, "sway's IPC socket answered something unreadable");
  std::vector<SwayWindow> found;
  collect(tree, "", found);
  return found;
}

void SwayIpc::subscribeToWindows() {
  json reply = json::parse(ask(kSubscribe, R"(["window"])"), nullptr, false);
  if (!reply.is_object() || !reply.value("success", false))
    throw waylandError(kConnectFailed, "sway's IPC socket refused to report window changes");
}

bool SwayIpc::takeEvents() {
  bool any = false;
  for (pollfd p{fd_, POLLIN, 0}; poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR));) {
    auto [type, payload] = receive();
    any = any || (type & kEventBit);
  }
  return any;
}

}  // namespace vantor::platform::wayland
