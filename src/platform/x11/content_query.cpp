#include "platform/x11/content_query.h"

#include <xcb/randr.h>
#include <xcb/res.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <unordered_map>
#include <unordered_set>

namespace vantor::platform::x11 {
namespace {

// Property values are small; this bounds what one read transfers (in 32-bit units).
constexpr uint32_t kTextLongs = 4096;
constexpr uint32_t kListLongs = 65536;
constexpr uint32_t kIconicState = 3;  // ICCCM WM_STATE value

using PropertyReply = Reply<xcb_get_property_reply_t>;

xcb_get_property_cookie_t askProperty(const Connection& c, xcb_window_t w, xcb_atom_t prop, uint32_t longs) {
  return xcb_get_property(c.get(), 0, w, prop, XCB_GET_PROPERTY_TYPE_ANY, 0, longs);
}

PropertyReply takeProperty(const Connection& c, xcb_get_property_cookie_t cookie) {
  PropertyReply r(xcb_get_property_reply(c.get(), cookie, nullptr));
  if (r && r->type == XCB_ATOM_NONE) r.reset();  // the property is absent
  return r;
}

std::string_view bytesOf(const xcb_get_property_reply_t& r) {
  if (r.format != 8) return {};
  return {static_cast<const char*>(xcb_get_property_value(&r)),
          static_cast<size_t>(xcb_get_property_value_length(&r))};
}

std::vector<uint32_t> cardinalsOf(const xcb_get_property_reply_t* r) {
  if (!r || r->format != 32) return {};
  const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(r));
  return {v, v + xcb_get_property_value_length(r) / 4};
}

std::optional<xcb_window_t> windowProperty(const Connection& c, xcb_window_t w, xcb_atom_t prop) {
  auto r = takeProperty(c, askProperty(c, w, prop, 1));
  auto v = cardinalsOf(r.get());
  if (v.empty()) return std::nullopt;
  return v[0];
}

std::optional<std::string> processName(uint32_t pid) {
  if (pid == 0) return std::nullopt;
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (!in || !std::getline(in, name) || name.empty()) return std::nullopt;
  return toValidUtf8(name);
}

// A window manager is running when the root names a check window that names itself.
bool windowManagerRunning(const Connection& c) {
  auto check = windowProperty(c, c.root(), c.atoms()._NET_SUPPORTING_WM_CHECK);
  if (!check) return false;
  auto self = windowProperty(c, *check, c.atoms()._NET_SUPPORTING_WM_CHECK);
  return self && *self == *check;
}

// Asks the server to report what would change a listing of `windows`: their
// own structure and properties, and their children coming and going. Sent
// before their state is read, so that no change after the read goes unseen.
void watch(const Connection& c, bool on, const std::vector<xcb_window_t>& windows) {
  if (!on) return;
  const uint32_t mask =
      XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
  for (xcb_window_t w : windows) xcb_change_window_attributes(c.get(), w, XCB_CW_EVENT_MASK, &mask);
}

std::vector<xcb_window_t> childrenTopFirst(const Connection& c, xcb_window_t parent) {
  Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c.get(), xcb_query_tree(c.get(), parent), nullptr));
  if (!tree) return {};
  const xcb_window_t* kids = xcb_query_tree_children(tree.get());
  return {std::make_reverse_iterator(kids + tree->children_len), std::make_reverse_iterator(kids)};
}

struct Candidate {
  xcb_window_t topLevel = 0;  // the root's child holding the window
  xcb_window_t client = 0;
};

// Without a window manager's lists: the root's children top first, each
// resolved to the window inside that carries WM_STATE when something framed
// it (the way ICCCM tools find client windows), else the child itself.
std::vector<Candidate> candidatesFromTree(const Connection& c, const std::vector<xcb_window_t>& topFirst, bool watching) {
  std::vector<Candidate> out;
  out.reserve(topFirst.size());
  std::vector<xcb_get_property_cookie_t> states;
  for (xcb_window_t w : topFirst) states.push_back(askProperty(c, w, c.atoms().WM_STATE, 2));
  std::vector<bool> hasState;
  for (auto& s : states) hasState.push_back(takeProperty(c, s) != nullptr);

  for (size_t i = 0; i < topFirst.size(); ++i) {
    Candidate cand{topFirst[i], topFirst[i]};
    if (!hasState[i]) {
      // Breadth-first below the frame, a few levels deep.
      std::vector<xcb_window_t> level{topFirst[i]};
      bool found = false;
      for (int depth = 0; depth < 3 && !found && !level.empty(); ++depth) {
        std::vector<xcb_window_t> next;
        for (xcb_window_t w : level) {
          auto kids = childrenTopFirst(c, w);
          next.insert(next.end(), kids.begin(), kids.end());
        }
        watch(c, watching, next);
        std::vector<xcb_get_property_cookie_t> cookies;
        for (xcb_window_t w : next) cookies.push_back(askProperty(c, w, c.atoms().WM_STATE, 2));
        for (size_t k = 0; k < next.size(); ++k) {
          bool has = takeProperty(c, cookies[k]) != nullptr;
          if (has && !found) {
            cand.client = next[k];
            found = true;
          }
        }
        level = std::move(next);
      }
    }
    out.push_back(cand);
  }
  return out;
}

// With a window manager: its client list, each client placed by the root
// child it sits in. Clients are ordered by _NET_CLIENT_LIST_STACKING when the
// manager keeps it, else by where their frames stack.
std::vector<Candidate> managedCandidates(const Connection& c, const std::unordered_map<xcb_window_t, size_t>& treeIndex,
                                         bool watching, bool* ok) {
  const auto& a = c.atoms();
  auto stackingReply = takeProperty(c, askProperty(c, c.root(), a._NET_CLIENT_LIST_STACKING, kListLongs));
  bool stacking = stackingReply != nullptr;
  auto list = cardinalsOf(stackingReply.get());
  if (!stacking) {
    auto listReply = takeProperty(c, askProperty(c, c.root(), a._NET_CLIENT_LIST, kListLongs));
    if (!listReply) {
      *ok = false;
      return {};
    }
    list = cardinalsOf(listReply.get());
  }
  *ok = true;
  watch(c, watching, std::vector<xcb_window_t>(list.begin(), list.end()));

  // Walk up from every client to its top-level ancestor, one level per round trip.
  std::vector<Candidate> out;
  for (uint32_t w : list) out.push_back({w, w});
  std::vector<size_t> pending(out.size());
  for (size_t i = 0; i < pending.size(); ++i) pending[i] = i;
  std::vector<bool> resolved(out.size(), false);
  for (int depth = 0; depth < 8 && !pending.empty(); ++depth) {
    std::vector<xcb_query_tree_cookie_t> cookies;
    for (size_t i : pending) cookies.push_back(xcb_query_tree(c.get(), out[i].topLevel));
    std::vector<size_t> still;
    std::vector<xcb_window_t> parents;
    for (size_t k = 0; k < pending.size(); ++k) {
      Reply<xcb_query_tree_reply_t> r(xcb_query_tree_reply(c.get(), cookies[k], nullptr));
      if (!r) continue;  // gone meanwhile
      if (r->parent == c.root()) {
        resolved[pending[k]] = true;
      } else {
        out[pending[k]].topLevel = r->parent;
        parents.push_back(r->parent);
        still.push_back(pending[k]);
      }
    }
    watch(c, watching, parents);
    pending = std::move(still);
  }
  std::vector<Candidate> kept;
  for (size_t i = 0; i < out.size(); ++i)
    if (resolved[i] && treeIndex.count(out[i].topLevel)) kept.push_back(out[i]);

  if (stacking) {
    std::reverse(kept.begin(), kept.end());  // the list runs bottom to top
  } else {
    std::stable_sort(kept.begin(), kept.end(), [&](const Candidate& x, const Candidate& y) {
      return treeIndex.at(x.topLevel) < treeIndex.at(y.topLevel);
    });
  }
  return kept;
}

int layerFor(const Atoms& a, const std::vector<uint32_t>& types, bool overrideRedirect) {
  // The first type we know wins: EWMH lists them in order of preference.
  for (uint32_t t : types) {
    if (t == a._NET_WM_WINDOW_TYPE_NORMAL || t == a._NET_WM_WINDOW_TYPE_DIALOG)
      return overrideRedirect ? kLayerOverrideRedirect : kLayerNormal;
    if (t == a._NET_WM_WINDOW_TYPE_DESKTOP) return kLayerDesktop;
    if (t == a._NET_WM_WINDOW_TYPE_UTILITY || t == a._NET_WM_WINDOW_TYPE_TOOLBAR) return kLayerUtility;
    if (t == a._NET_WM_WINDOW_TYPE_SPLASH) return kLayerSplash;
    if (t == a._NET_WM_WINDOW_TYPE_DOCK) return kLayerDock;
    if (t == a._NET_WM_WINDOW_TYPE_MENU || t == a._NET_WM_WINDOW_TYPE_DROPDOWN_MENU ||
        t == a._NET_WM_WINDOW_TYPE_POPUP_MENU || t == a._NET_WM_WINDOW_TYPE_COMBO)
      return kLayerMenu;
    if (t == a._NET_WM_WINDOW_TYPE_NOTIFICATION) return kLayerNotification;
    if (t == a._NET_WM_WINDOW_TYPE_TOOLTIP) return kLayerTooltip;
    if (t == a._NET_WM_WINDOW_TYPE_DND) return kLayerDragAndDrop;
  }
  return overrideRedirect ? kLayerOverrideRedirect : kLayerNormal;
}

std::optional<std::string> titleFrom(const xcb_get_property_reply_t* netName, const xcb_get_property_reply_t* wmName) {
  if (netName) return toValidUtf8(bytesOf(*netName));
  if (!wmName) return std::nullopt;
  auto bytes = bytesOf(*wmName);
  if (wmName->type == XCB_ATOM_STRING) return latin1ToUtf8(bytes);
  // COMPOUND_TEXT and UTF8_STRING: plain text in practice is valid UTF-8 as it is.
  return toValidUtf8(bytes);
}

std::optional<std::string> classFrom(const xcb_get_property_reply_t* wmClass) {
  if (!wmClass) return std::nullopt;
  auto bytes = bytesOf(*wmClass);  // "instance\0class\0"
  size_t nul = bytes.find('\0');
  if (nul == std::string_view::npos) return std::nullopt;
  auto cls = bytes.substr(nul + 1);
  cls = cls.substr(0, cls.find('\0'));
  if (cls.empty()) return std::nullopt;
  return latin1ToUtf8(cls);
}

}  // namespace

std::string latin1ToUtf8(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (unsigned char ch : latin1) {
    if (ch < 0x80) {
      out += static_cast<char>(ch);
    } else {
      out += static_cast<char>(0xC0 | (ch >> 6));
      out += static_cast<char>(0x80 | (ch & 0x3F));
    }
  }
  return out;
}

std::string toValidUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c0 = b(i);
    size_t len = 0;
    uint32_t min = 0, cp = 0;
    if (c0 < 0x80) len = 1, cp = c0;
    else if ((c0 & 0xE0) == 0xC0) len = 2, cp = c0 & 0x1F, min = 0x80;
    else if ((c0 & 0xF0) == 0xE0) len = 3, cp = c0 & 0x0F, min = 0x800;
    else if ((c0 & 0xF8) == 0xF0) len = 4, cp = c0 & 0x07, min = 0x10000;
    bool good = len > 0 && i + len <= s.size();
    for (size_t k = 1; good && k < len; ++k) {
      if ((b(i + k) & 0xC0) != 0x80) good = false;
      else cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if (good && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) good = false;
    if (good) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

std::vector<Monitor> queryMonitors(const Connection& c) {
  const auto& scr = c.screen();
  std::vector<Monitor> out;
  if (c.extensions().randr) {
    Reply<xcb_randr_get_monitors_reply_t> r(
        xcb_randr_get_monitors_reply(c.get(), xcb_randr_get_monitors(c.get(), c.root(), 1), nullptr));
    c.check();
    if (r) {
      for (auto it = xcb_randr_get_monitors_monitors_iterator(r.get()); it.rem; xcb_randr_monitor_info_next(&it)) {
        const auto& m = *it.data;
        // User monitors are not clipped to the root; what lies outside cannot be grabbed.
        int x0 = std::max<int>(m.x, 0), y0 = std::max<int>(m.y, 0);
        int x1 = std::min<int>(m.x + m.width, scr.width_in_pixels);
        int y1 = std::min<int>(m.y + m.height, scr.height_in_pixels);
        if (x1 <= x0 || y1 <= y0) continue;
        out.push_back({m.name, x0, y0, x1 - x0, y1 - y0, m.primary != 0});
      }
    }
  }
  if (out.empty()) {
    out.push_back({c.root(), 0, 0, scr.width_in_pixels, scr.height_in_pixels, true});
  }
  std::stable_partition(out.begin(), out.end(), [](const Monitor& m) { return m.primary; });
  return out;
}

std::optional<Monitor> findMonitor(const Connection& c, uint32_t id) {
  for (const auto& m : queryMonitors(c))
    if (m.id == id) return m;
  return std::nullopt;
}

std::vector<Window> queryWindows(const Connection& c, bool watching) {
  const auto& a = c.atoms();
  auto topFirst = childrenTopFirst(c, c.root());
  c.check();
  watch(c, watching, topFirst);
  std::unordered_map<xcb_window_t, size_t> treeIndex;
  for (size_t i = 0; i < topFirst.size(); ++i) treeIndex[topFirst[i]] = i;

  // Attributes of every root child: override-redirect ones are listed as they are.
  std::vector<xcb_get_window_attributes_cookie_t> topCookies;
  for (xcb_window_t w : topFirst) topCookies.push_back(xcb_get_window_attributes(c.get(), w));
  std::vector<bool> overrideRedirect(topFirst.size(), false);
  for (size_t i = 0; i < topFirst.size(); ++i) {
    Reply<xcb_get_window_attributes_reply_t> r(xcb_get_window_attributes_reply(c.get(), topCookies[i], nullptr));
    overrideRedirect[i] = r && r->override_redirect;
  }

  std::vector<Candidate> candidates;
  bool managed = false;
  if (windowManagerRunning(c)) {
    auto clients = managedCandidates(c, treeIndex, watching, &managed);
    if (managed) {
      // Merge override-redirect root children in by where they stack.
      size_t j = 0;
      for (size_t i = 0; i < topFirst.size(); ++i) {
        if (!overrideRedirect[i]) continue;
        while (j < clients.size() && treeIndex.at(clients[j].topLevel) < i) candidates.push_back(clients[j++]);
        candidates.push_back({topFirst[i], topFirst[i]});
      }
      candidates.insert(candidates.end(), clients.begin() + static_cast<std::ptrdiff_t>(j), clients.end());
    }
  }
  if (!managed) candidates = candidatesFromTree(c, topFirst, watching);

  // Everything about every candidate in one pipelined batch.
  struct Pending {
    xcb_get_window_attributes_cookie_t attrs;
    xcb_get_geometry_cookie_t outer;
    xcb_get_property_cookie_t wmState, netState, netName, wmName, wmClass, pid, type;
  };
  std::vector<Pending> pending;
  pending.reserve(candidates.size());
  for (const auto& cand : candidates) {
    xcb_window_t w = cand.client;
    pending.push_back({xcb_get_window_attributes(c.get(), w), xcb_get_geometry(c.get(), cand.topLevel), askProperty(c, w, a.WM_STATE, 2),
                       askProperty(c, w, a._NET_WM_STATE, 64), askProperty(c, w, a._NET_WM_NAME, kTextLongs),
                       askProperty(c, w, XCB_ATOM_WM_NAME, kTextLongs), askProperty(c, w, XCB_ATOM_WM_CLASS, kTextLongs),
                       askProperty(c, w, a._NET_WM_PID, 1), askProperty(c, w, a._NET_WM_WINDOW_TYPE, 64)});
  }

  std::vector<Window> out;
  std::vector<size_t> needsResource;  // windows whose application only X-Resource can name
  std::unordered_set<xcb_window_t> seen;
  for (size_t i = 0; i < candidates.size(); ++i) {
    const auto& p = pending[i];
    Reply<xcb_get_window_attributes_reply_t> attrs(xcb_get_window_attributes_reply(c.get(), p.attrs, nullptr));
    Reply<xcb_get_geometry_reply_t> outer(xcb_get_geometry_reply(c.get(), p.outer, nullptr));
    auto wmState = takeProperty(c, p.wmState);
    auto netState = takeProperty(c, p.netState);
    auto netName = takeProperty(c, p.netName);
    auto wmName = takeProperty(c, p.wmName);
    auto wmClass = takeProperty(c, p.wmClass);
    auto pid = takeProperty(c, p.pid);
    auto type = takeProperty(c, p.type);

    xcb_window_t w = candidates[i].client;
    if (!attrs || !outer || !seen.insert(w).second) continue;
    if (attrs->_class == XCB_WINDOW_CLASS_INPUT_ONLY || attrs->map_state != XCB_MAP_STATE_VIEWABLE) continue;
    // Mapped but parked off the screen (managers keep helper windows there) is not on screen.
    const int span = 2 * outer->border_width;
    if (outer->x + outer->width + span <= 0 || outer->y + outer->height + span <= 0 ||
        outer->x >= c.screen().width_in_pixels || outer->y >= c.screen().height_in_pixels)
      continue;
    auto state = cardinalsOf(wmState.get());
    if (!state.empty() && state[0] == kIconicState) continue;
    auto netStates = cardinalsOf(netState.get());
    if (std::find(netStates.begin(), netStates.end(), a._NET_WM_STATE_HIDDEN) != netStates.end()) continue;

    Window win;
    win.windowID = w;
    win.windowLayer = layerFor(a, cardinalsOf(type.get()), attrs->override_redirect);
    win.title = titleFrom(netName.get(), wmName.get());
    if (auto cls = classFrom(wmClass.get())) {
      win.owningApplication = RunningApplication{*cls};
    } else if (auto pids = cardinalsOf(pid.get()); !pids.empty()) {
      if (auto name = processName(pids[0])) win.owningApplication = RunningApplication{*name};
    }
    if (!win.owningApplication && c.extensions().res) needsResource.push_back(out.size());
    out.push_back(std::move(win));
  }

  if (!needsResource.empty()) {
    std::vector<xcb_res_query_client_ids_cookie_t> cookies;
    for (size_t i : needsResource) {
      xcb_res_client_id_spec_t who{out[i].windowID, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
      cookies.push_back(xcb_res_query_client_ids(c.get(), 1, &who));
    }
    for (size_t k = 0; k < needsResource.size(); ++k) {
      Reply<xcb_res_query_client_ids_reply_t> r(xcb_res_query_client_ids_reply(c.get(), cookies[k], nullptr));
      if (!r) continue;
      for (auto it = xcb_res_query_client_ids_ids_iterator(r.get()); it.rem; xcb_res_client_id_value_next(&it)) {
        if (!(it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID)) continue;
        if (xcb_res_client_id_value_value_length(it.data) < 1) continue;
        uint32_t clientPid = *xcb_res_client_id_value_value(it.data);
        if (auto name = processName(clientPid)) out[needsResource[k]].owningApplication = RunningApplication{*name};
        break;
      }
    }
  }
  c.check();
  return out;
}

void watchRoot(const Connection& c) {
  const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(c.get(), c.root(), XCB_CW_EVENT_MASK, &mask);
}

bool takeChangeEvents(const Connection& c) {
  bool changed = false;
  while (xcb_generic_event_t* e = xcb_poll_for_event(c.get())) {
    // Errors of requests nobody waited for (a window gone before it was selected) change nothing.
    if ((e->response_type & 0x7F) != 0) changed = true;
    std::free(e);
  }
  return changed;
}

}  // namespace vantor::platform::x11
