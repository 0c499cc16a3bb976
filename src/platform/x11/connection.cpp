#include "platform/x11/connection.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/res.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <cstring>
#include <utility>

namespace vantor::platform::x11 {
namespace {

struct AtomName {
  xcb_atom_t Atoms::*member;
  const char* name;
};

#define VANTOR_ATOM(n) AtomName{&Atoms::n, #n}
constexpr AtomName kAtomNames[] = {
    VANTOR_ATOM(UTF8_STRING),
    VANTOR_ATOM(COMPOUND_TEXT),
    VANTOR_ATOM(WM_STATE),
    VANTOR_ATOM(_NET_SUPPORTING_WM_CHECK),
    VANTOR_ATOM(_NET_CLIENT_LIST),
    VANTOR_ATOM(_NET_CLIENT_LIST_STACKING),
    VANTOR_ATOM(_NET_WM_NAME),
    VANTOR_ATOM(_NET_WM_PID),
    VANTOR_ATOM(_NET_WM_STATE),
    VANTOR_ATOM(_NET_WM_STATE_HIDDEN),
    VANTOR_ATOM(_NET_WM_WINDOW_TYPE),
    VANTOR_ATOM(_NET_WM_WINDOW_TYPE_NORMAL),
    VANTOR_ATOM(_NET_WM_WINDOW_TYPE_DIALOG),
    VANTOR_ATOM(_NET_WM_WINDOW_TYPE_DESKTOP),
    VANTOR_ATOM(_NET_WM_WINDOW_TYPE_DOCK),
    VANTOR_ATOM(_NET_WM_WINDOW_TYPE_TOOLBAR),
    VANTOR_ATOM(_NET_WM_WINDOW_TYPE_MENU),
    VANTOR_ATOM(_NET_WM_WINDOW_TYPE_UTILITY),
    VANTOR_ATOM(_NET_WM_WINDOW_TYPE_SPLASH),
    VANTOR_ATOM(_NET_WM_WINDOW_TYPE_DROPDOWN_MENU),
    VANTOR_ATOM(_NET_WM_WINDOW_TYPE_POPUP_MENU),
    VANTOR_ATOM(_NET_WM_WINDOW_TYPE_TOOLTIP),
    VANTOR_ATOM(_NET_WM_WINDOW_TYPE_NOTIFICATION),
    VANTOR_ATOM(_NET_WM_WINDOW_TYPE_COMBO),
    VANTOR_ATOM(_NET_WM_WINDOW_TYPE_DND),
};
#undef VANTOR_ATOM

const xcb_query_extension_reply_t* present(xcb_connection_t* c, xcb_extension_t* ext) {
  const auto* data = xcb_get_extension_data(c, ext);
  return data && data->present ? data : nullptr;
}

}  // namespace

std::unique_ptr<Connection> Connection::open(const std::optional<std::string>& display) {
  std::string name;
  if (display) {
    name = *display;
  } else if (const char* env = std::getenv("DISPLAY")) {
    name = env;
  }
  if (name.empty()) throw x11Error(kNoDisplay, "DISPLAY is not set; no X server to capture");

  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(name.c_str(), &screenNumber);
  if (int err = xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    std::string why = err == XCB_CONN_CLOSED_PARSE_ERR ? " (malformed display name)" : "";
    throw x11Error(kConnectFailed, "cannot connect to X server " + name + why);
  }
  const xcb_screen_t* screen = nullptr;
  auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; it.rem; ++i, xcb_screen_next(&it)) {
    if (i == screenNumber) screen = it.data;
  }
  if (!screen) {
    xcb_disconnect(c);
    throw x11Error(kConnectFailed, "X server " + name + " has no screen " + std::to_string(screenNumber));
  }
  std::unique_ptr<Connection> conn(new Connection(c, screen, std::move(name)));
  conn->internAtoms();
  conn->queryExtensions();
  conn->check();
  return conn;
}

Connection::Connection(xcb_connection_t* c, const xcb_screen_t* screen, std::string name)
    : c_(c), screen_(screen), name_(std::move(name)) {}

Connection::~Connection() { xcb_disconnect(c_); }

void Connection::check() const {
  if (broken()) throw x11Error(kConnectionLost, "lost the connection to X server " + name_);
}

void Connection::internAtoms() {
  constexpr size_t n = std::size(kAtomNames);
  xcb_intern_atom_cookie_t cookies[n];
  for (size_t i = 0; i < n; ++i)
    cookies[i] = xcb_intern_atom(c_, 0, static_cast<uint16_t>(std::strlen(kAtomNames[i].name)), kAtomNames[i].name);
  for (size_t i = 0; i < n; ++i) {
    Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(c_, cookies[i], nullptr));
    atoms_.*(kAtomNames[i].member) = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
  }
}

void Connection::queryExtensions() {
  // Ask for every extension at once, then for each version: two round trips.
  xcb_prefetch_extension_data(c_, &xcb_shm_id);
  xcb_prefetch_extension_data(c_, &xcb_randr_id);
  xcb_prefetch_extension_data(c_, &xcb_composite_id);
  xcb_prefetch_extension_data(c_, &xcb_xfixes_id);
  xcb_prefetch_extension_data(c_, &xcb_damage_id);
  xcb_prefetch_extension_data(c_, &xcb_res_id);
  xcb_prefetch_extension_data(c_, &xcb_input_id);

  const auto* shm = present(c_, &xcb_shm_id);
  const auto* randr = present(c_, &xcb_randr_id);
  const auto* composite = present(c_, &xcb_composite_id);
  const auto* xfixes = present(c_, &xcb_xfixes_id);
  const auto* damage = present(c_, &xcb_damage_id);
  const auto* res = present(c_, &xcb_res_id);
  const auto* input = present(c_, &xcb_input_id);

  // Extensions must be told which version the client speaks before use.
  xcb_shm_query_version_cookie_t shmC{};
  xcb_randr_query_version_cookie_t randrC{};
  xcb_composite_query_version_cookie_t compositeC{};
  xcb_xfixes_query_version_cookie_t xfixesC{};
  xcb_damage_query_version_cookie_t damageC{};
  xcb_res_query_version_cookie_t resC{};
  xcb_input_xi_query_version_cookie_t inputC{};
  if (shm) shmC = xcb_shm_query_version(c_);
  if (randr) randrC = xcb_randr_query_version(c_, 1, 6);
  if (composite) compositeC = xcb_composite_query_version(c_, 0, 4);
  if (xfixes) xfixesC = xcb_xfixes_query_version(c_, 6, 0);
  if (damage) damageC = xcb_damage_query_version(c_, 1, 1);
  if (res) resC = xcb_res_query_version(c_, 1, 2);
  if (input) inputC = xcb_input_xi_query_version(c_, 2, 2);

  if (shm) ext_.shm = Reply<xcb_shm_query_version_reply_t>(xcb_shm_query_version_reply(c_, shmC, nullptr)) != nullptr;
  if (randr) {
    Reply<xcb_randr_query_version_reply_t> r(xcb_randr_query_version_reply(c_, randrC, nullptr));
    ext_.randr = r && (r->major_version > 1 || r->minor_version >= 5);
  }
  if (composite) {
    Reply<xcb_composite_query_version_reply_t> r(xcb_composite_query_version_reply(c_, compositeC, nullptr));
    ext_.composite = r && (r->major_version > 0 || r->minor_version >= 2);
  }
  if (xfixes) {
    Reply<xcb_xfixes_query_version_reply_t> r(xcb_xfixes_query_version_reply(c_, xfixesC, nullptr));
    ext_.xfixes = r && r->major_version >= 2;
    ext_.xfixesEventBase = xfixes->first_event;
  }
  if (damage) {
    ext_.damage = Reply<xcb_damage_query_version_reply_t>(xcb_damage_query_version_reply(c_, damageC, nullptr)) != nullptr;
    ext_.damageEventBase = damage->first_event;
  }
  if (res) {
    Reply<xcb_res_query_version_reply_t> r(xcb_res_query_version_reply(c_, resC, nullptr));
    ext_.res = r && (r->server_major > 1 || r->server_minor >= 2);
  }
  if (input) {
    Reply<xcb_input_xi_query_version_reply_t> r(xcb_input_xi_query_version_reply(c_, inputC, nullptr));
    ext_.xinput = r && r->major_version >= 2;
    ext_.xinputOpcode = input->major_opcode;
  }
}

}  // namespace vantor::platform::x11
