// CPU time of one full send of the lighting state through the real window
// and SendCommand to a pseudo-terminal, with every echo box answered at once.
// Usage: send_bench [SENDS]
#include "ComPort.h"
#include "Dialogs.h"
#include "Unit1.h"

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

double CpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char* argv[]) {
  const int sends = argc > 1 ? static_cast<int>(std::strtol(argv[1], nullptr, 10)) : 1000;
  if (sends < 1) return 2;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int master = -1;
  int slave = -1;
  char device[256] = {};
  if (openpty(&master, &slave, device, nullptr, nullptr) != 0) return 1;
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  setenv("LICHTSTEUERUNG_COM1", device, 1);

  TApplication application(argc, argv);
  application.Initialize();
  application.CreateForm(Form1);
  SetBoxHandler([](const Box&) {});
  Form1->comportbut->click();  // connect

  std::vector<double> cpu;
  std::size_t bytes = 0;
  char buffer[256];
  for (int i = 0; i < sends; ++i) {
    const double before = CpuMilliseconds();
    Form1->SendAllLights();
    cpu.push_back(CpuMilliseconds() - before);
    // The board's side, outside the measurement.
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) bytes += static_cast<std::size_t>(n);
  }
  std::sort(cpu.begin(), cpu.end());
  const double perSend = static_cast<double>(bytes) / sends;
  const double wireMs = perSend * 10 * 1000 / 9600;  // start bit, 8 data bits, stop bit
  std::printf("%d\t%.1f\t%.4f\t%.4f\t%.2f\n", sends, perSend, cpu[cpu.size() / 2], cpu[cpu.size() * 99 / 100],
              wireMs);
  Form1->comportbut->click();  // disconnect
  return 0;
}
