// kelvane_x11_test_window: a small X client for the tests. Opens one window per
// --window, each set up by the options before it, prints each window's ID on a
// line of its own once the window manager has taken them all, then "ready", and
// closes a window when asked (WM_DELETE_WINDOW) unless told to refuse. It exits
// when its last window has closed or its server went away.
//
//   --window TITLE      a window with this title (_NET_WM_NAME and WM_NAME)
//   --latin1            later titles only as WM_NAME of type STRING, bytes as given
//   --class NAME        WM_CLASS class of later windows (default KelvaneTest)
//   --at X,Y,W,H        place and size of later windows (default 100,100,300,200)
//   --desktop N|all     _NET_WM_DESKTOP of later windows
//   --type dock|normal  _NET_WM_WINDOW_TYPE of later windows
//   --no-pid            later windows do not name their process
//   --machine NAME      WM_CLIENT_MACHINE of later windows (default this host)
//   --no-delete         later windows do not take WM_DELETE_WINDOW
//   --refuse-close      ignore every close request (an unsaved document)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include <xcb/xcb.h>

namespace {

struct Settings {
  std::string wmClass = "KelvaneTest";
  int x = 100, y = 100, width = 300, height = 200;
  std::optional<uint32_t> desktop;
  std::string type = "normal";
  bool pid = true;
  std::string machine;
  bool takesDelete = true;
  bool latin1 = false;
};

xcb_atom_t atom(xcb_connection_t* c, std::string_view name) {
  auto* reply =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(name.size()), name.data()), nullptr);
  const xcb_atom_t value = reply ? reply->atom : XCB_NONE;
  free(reply);
  return value;
}

void setProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t property, xcb_atom_t type,
                 uint8_t format, uint32_t count, const void* data) {
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, property, type, format, count, data);
}

xcb_window_t makeWindow(xcb_connection_t* c, const xcb_screen_t& screen, const std::string& title,
                        const Settings& s) {
  const xcb_window_t w = xcb_generate_id(c);
  const uint32_t values[] = {screen.white_pixel, XCB_EVENT_MASK_STRUCTURE_NOTIFY};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen.root, int16_t(s.x), int16_t(s.y),
                    uint16_t(s.width), uint16_t(s.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen.root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
  if (s.latin1) {
    setProperty(c, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, uint32_t(title.size()), title.data());
  } else {
    setProperty(c, w, atom(c, "_NET_WM_NAME"), atom(c, "UTF8_STRING"), 8, uint32_t(title.size()),
                title.data());
    setProperty(c, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, uint32_t(title.size()), title.data());
  }
  const std::string wmClass = "kelvane-test" + std::string(1, '\0') + s.wmClass + '\0';
  setProperty(c, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, uint32_t(wmClass.size()),
              wmClass.data());
  setProperty(c, w, XCB_ATOM_WM_CLIENT_MACHINE, XCB_ATOM_STRING, 8, uint32_t(s.machine.size()),
              s.machine.data());
  if (s.pid) {
    const uint32_t pid = uint32_t(getpid());
    setProperty(c, w, atom(c, "_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
  }
  if (s.desktop)
    setProperty(c, w, atom(c, "_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 32, 1, &*s.desktop);
  const xcb_atom_t type =
      atom(c, s.type == "dock" ? "_NET_WM_WINDOW_TYPE_DOCK" : "_NET_WM_WINDOW_TYPE_NORMAL");
  setProperty(c, w, atom(c, "_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &type);
  if (s.takesDelete) {
    const xcb_atom_t del = atom(c, "WM_DELETE_WINDOW");
    setProperty(c, w, atom(c, "WM_PROTOCOLS"), XCB_ATOM_ATOM, 32, 1, &del);
  }
  // WM_NORMAL_HINTS with a place and size the user chose, so the manager keeps them.
  uint32_t hints[18] = {};
  hints[0] = 1 | 2;  // USPosition | USSize
  hints[1] = uint32_t(s.x);
  hints[2] = uint32_t(s.y);
  hints[3] = uint32_t(s.width);
  hints[4] = uint32_t(s.height);
  setProperty(c, w, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
  xcb_map_window(c, w);
  return w;
}

bool parseGeometry(const char* text, Settings& s) {
  return std::sscanf(text, "%d,%d,%d,%d", &s.x, &s.y, &s.width, &s.height) == 4;
}

}  // namespace

int main(int argc, char** argv) {
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(c)) return 2;
  auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&it);
  const xcb_screen_t& screen = *it.data;

  Settings settings;
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  settings.machine = host;
  bool refuseClose = false;
  std::vector<xcb_window_t> order;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--refuse-close") {
      refuseClose = true;
      continue;
    }
    if (arg == "--no-pid") {
      settings.pid = false;
      continue;
    }
    if (arg == "--no-delete") {
      settings.takesDelete = false;
      continue;
    }
    if (arg == "--latin1") {
      settings.latin1 = true;
      continue;
    }
    if (value == nullptr) return 2;
    ++i;
    if (arg == "--window")
      order.push_back(makeWindow(c, screen, value, settings));
    else if (arg == "--class")
      settings.wmClass = value;
    else if (arg == "--machine")
      settings.machine = value;
    else if (arg == "--type")
      settings.type = value;
    else if (arg == "--desktop")
      settings.desktop = std::string_view(value) == "all" ? 0xFFFFFFFF : uint32_t(std::atoi(value));
    else if (arg == "--at") {
      if (!parseGeometry(value, settings)) return 2;
    } else
      return 2;
  }
  xcb_flush(c);

  const xcb_atom_t protocols = atom(c, "WM_PROTOCOLS");
  const xcb_atom_t deleteWindow = atom(c, "WM_DELETE_WINDOW");
  std::set<xcb_window_t> open(order.begin(), order.end());
  // The manager has taken a window when it reparents it into its frame; one on
  // a desktop not shown is reparented but not mapped.
  std::set<xcb_window_t> waiting = open;
  bool ready = false;
  const auto announce = [&] {
    for (const xcb_window_t w : order) std::printf("%u\n", w);
    std::printf("ready\n");
    std::fflush(stdout);
    ready = true;
  };
  if (waiting.empty()) announce();
  while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
    const uint8_t type = event->response_type & 0x7F;
    if (type == XCB_REPARENT_NOTIFY) {
      waiting.erase(reinterpret_cast<xcb_reparent_notify_event_t*>(event)->window);
    } else if (type == XCB_CLIENT_MESSAGE) {
      const auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
      if (message->type == protocols && message->data.data32[0] == deleteWindow && !refuseClose) {
        xcb_destroy_window(c, message->window);
        xcb_flush(c);
      }
    } else if (type == XCB_DESTROY_NOTIFY) {
      open.erase(reinterpret_cast<xcb_destroy_notify_event_t*>(event)->window);
    }
    free(event);
    if (!ready && waiting.empty()) announce();
    if (open.empty()) break;
  }
  xcb_disconnect(c);
  return 0;
}
