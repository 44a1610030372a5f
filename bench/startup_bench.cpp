// Start-up of a GUI program: time from fork to its first window being mapped
// on the X server, and its resident memory at that moment, over many runs.
// Usage: startup_bench RUNS PROGRAM [PROGRAM ...]   (DISPLAY must be set)
#include <X11/Xlib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One run: milliseconds to the first map, and KiB resident then.
bool RunOnce(Display* display, const char* program, double& ms, double& kib) {
  const Window root = DefaultRootWindow(display);
  XSelectInput(display, root, SubstructureNotifyMask);
  XSync(display, True);  // drop what earlier runs left
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    execl(program, program, static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto deadline = start + std::chrono::seconds(20);
  bool mapped = false;
  while (!mapped && std::chrono::steady_clock::now() < deadline) {
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MapNotify && !event.xmap.override_redirect) mapped = true;
    }
    if (!mapped) usleep(200);
  }
  ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  kib = static_cast<double>(ResidentKiB(pid));
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return mapped;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s RUNS PROGRAM...\n", argv[0]);
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "startup_bench: no X display\n");
    return 2;
  }
  const long runs = std::strtol(argv[1], nullptr, 10);
  if (runs < 1) {
    std::fprintf(stderr, "startup_bench: RUNS must be a positive number\n");
    return 2;
  }
  for (int p = 2; p < argc; ++p) {
    std::vector<double> times;
    std::vector<double> memory;
    double ms = 0;
    double kib = 0;
    RunOnce(display, argv[p], ms, kib);  // warm the file cache; not counted
    for (long run = 0; run < runs; ++run) {
      if (!RunOnce(display, argv[p], ms, kib)) {
        std::fprintf(stderr, "startup_bench: %s mapped no window\n", argv[p]);
        return 1;
      }
      times.push_back(ms);
      memory.push_back(kib);
    }
    std::printf("%s\t%.1f\t%.0f\n", argv[p], Median(times), Median(memory) / 1024.0);
  }
  XCloseDisplay(display);
  return 0;
}
