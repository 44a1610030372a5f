// Start-up of GUI programs: time from fork to each one's first window being
// mapped on the X server, and its resident memory at that moment, over many
// runs, the programs taking turns. A program is started with no arguments
// (a script that execs `wine X.exe` runs a Windows program).
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
  // The programs take turns, run after run, so that whatever else the
  // machine does meanwhile falls on all of them alike.
  const int programs = argc - 2;
  std::vector<std::vector<double>> times(static_cast<std::size_t>(programs));
  std::vector<std::vector<double>> memory(static_cast<std::size_t>(programs));
  double ms = 0;
  double kib = 0;
  for (int p = 0; p < programs; ++p) RunOnce(display, argv[p + 2], ms, kib);  // warm the caches; not counted
  for (long run = 0; run < runs; ++run) {
    for (int p = 0; p < programs; ++p) {
      if (!RunOnce(display, argv[p + 2], ms, kib)) {
        std::fprintf(stderr, "startup_bench: %s mapped no window\n", argv[p + 2]);
        return 1;
      }
      times[static_cast<std::size_t>(p)].push_back(ms);
      memory[static_cast<std::size_t>(p)].push_back(kib);
    }
  }
  for (int p = 0; p < programs; ++p) {
    const auto at = static_cast<std::size_t>(p);
    std::printf("%s\t%.1f\t%.0f\n", argv[p + 2], Median(times[at]), Median(memory[at]) / 1024.0);
  }
  XCloseDisplay(display);
  return 0;
}
