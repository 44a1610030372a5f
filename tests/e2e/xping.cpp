// xping <window> [seconds]: returns once the client that owns <window> has
// handled every X event sent to it before, by the window manager's own
// liveness check (_NET_WM_PING). A client in a handler answers only when it
// is back in its event loop, so after the answer every box the handler was
// going to open exists already. Exit 0 on the answer, 1 on a time-out.

#include <X11/Xlib.h>

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: xping <window> [seconds]\n");
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "xping: no display\n");
    return 2;
  }
  const Window window = std::strtoul(argv[1], nullptr, 0);
  const double seconds = argc > 2 ? std::strtod(argv[2], nullptr) : 10.0;
  const Window root = DefaultRootWindow(display);
  // The answer goes to the root window, to whoever listens there.
  XSelectInput(display, root, StructureNotifyMask | SubstructureNotifyMask);
  const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  const Atom ping = XInternAtom(display, "_NET_WM_PING", False);
  // Tells this ping's answer from the window manager's own pings.
  const long serial =
      static_cast<long>(std::chrono::steady_clock::now().time_since_epoch().count() & 0x7fffffff);

  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = protocols;
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(ping);
  event.xclient.data.l[1] = serial;
  event.xclient.data.l[2] = static_cast<long>(window);
  XSendEvent(display, window, False, NoEventMask, &event);
  XFlush(display);

  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  bool answered = false;
  while (!answered && std::chrono::steady_clock::now() < end) {
    while (!answered && XPending(display)) {
      XEvent reply;
      XNextEvent(display, &reply);
      answered = reply.type == ClientMessage && reply.xclient.message_type == protocols &&
                 static_cast<Atom>(reply.xclient.data.l[0]) == ping && reply.xclient.data.l[1] == serial;
    }
    pollfd connection{ConnectionNumber(display), POLLIN, 0};
    if (!answered) ::poll(&connection, 1, 50);
  }
  XCloseDisplay(display);
  if (answered) return 0;
  std::fprintf(stderr, "xping: window 0x%lx did not answer within %.1f s\n", window, seconds);
  return 1;
}
