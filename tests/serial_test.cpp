#include "Support.h"

#include "ComPort.h"
#include "PortMessages.h"
#include "PortNames.h"
#include "Unit1.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QHelpEvent>
#include <QTemporaryDir>
#include <QToolTip>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

// Connects the panel on "Com<n>" with the device mapped to `path`.
void ConnectOn(int n) {
  Form1->comports->SetItemIndex(n - 1);
  ClickOn(QStringLiteral("comportbut"));
}

// Has the kernel refuse every read of a terminal's settings (TCGETS) by the
// calling thread with `error`, as a USB adapter on its way out does; every
// other call goes through. Filters are per thread, and only native calls
// are made, so the architecture need not be checked. Returns whether the
// refusal is in force, as a read of `fd`'s settings shows: an emulator
// such as qemu-user takes the filter without passing it on.
bool RefuseReadingSettings(int error, int fd) {
  sock_filter rules[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),  // the request's low half
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TCGETS, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(error)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(rules)), rules};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
    return false;
  termios probe{};
  return ::tcgetattr(fd, &probe) != 0 && errno == error;
}

std::string LinkTarget(int fd) {
  return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)).string();
}

}  // namespace

class SerialTest : public QObject {
  Q_OBJECT

 private slots:
  // The line settings after a connect, for every way the flow control and
  // the modem-control flags may have been set before: all stay as they were.
  void connectConfiguresThePort_data() {
    QTest::addColumn<tcflag_t>("cflags");
    QTest::addColumn<tcflag_t>("iflags");
    const std::pair<tcflag_t, const char*> cflags[] = {
        {CRTSCTS, "crtscts"}, {CLOCAL, "clocal"}, {HUPCL, "hupcl"}};
    const std::pair<tcflag_t, const char*> iflags[] = {{IXON, "ixon"}, {IXOFF, "ixoff"}};
    for (unsigned bits = 0; bits < 32; ++bits) {
      tcflag_t c = 0;
      tcflag_t i = 0;
      QStringList name;
      for (unsigned k = 0; k < 3; ++k)
        if (bits & (1U << k)) c |= cflags[k].first, name << cflags[k].second;
      for (unsigned k = 0; k < 2; ++k)
        if (bits & (8U << k)) i |= iflags[k].first, name << iflags[k].second;
      QTest::newRow(qPrintable(name.isEmpty() ? QStringLiteral("none") : name.join(' '))) << c << i;
    }
  }

  void connectConfiguresThePort() {
    QFETCH(tcflag_t, cflags);
    QFETCH(tcflag_t, iflags);
    WiredBoard board(3);
    termios before = board.lineSettings();
    // Start far from 9600 8N1, with the line discipline fully on. (A pty
    // keeps 8 data bits and no parity whatever it is told; a UART does not.)
    before.c_cflag = (before.c_cflag & ~(CSIZE | CRTSCTS | CLOCAL | HUPCL)) | CS7 | PARENB | CSTOPB | cflags;
    before.c_iflag = (before.c_iflag & ~(IXON | IXOFF)) | ICRNL | iflags;
    before.c_lflag |= ECHO | ICANON | ISIG;
    before.c_oflag |= OPOST | ONLCR;
    ::cfsetispeed(&before, B115200);
    ::cfsetospeed(&before, B115200);
    board.setLineSettings(before);
    if (board.real()) {
      const termios taken = board.lineSettings();
      QCOMPARE(::cfgetospeed(&taken), speed_t(B115200));
      QCOMPARE(taken.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS7 | PARENB | CSTOPB));
    }

    BoxLog log(&board);
    ConnectOn(3);

    QCOMPARE(log.transcript(), QString());  // no box, nothing sent
    QCOMPARE(Form1->comportbut->text(), QStringLiteral("trennen"));
    QCOMPARE(LinkTarget(PortHandle), board.path());
    const termios after = board.lineSettings();
    QCOMPARE(::cfgetospeed(&after), speed_t(B9600));
    QCOMPARE(::cfgetispeed(&after), speed_t(B9600));
    QCOMPARE(after.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
    QCOMPARE(after.c_cflag & (CRTSCTS | CLOCAL | HUPCL), cflags);
    QCOMPARE(after.c_iflag & (IXON | IXOFF), iflags);
    QCOMPARE(after.c_lflag & (ECHO | ICANON | ISIG), tcflag_t(0));
    QCOMPARE(after.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(after.c_iflag & ICRNL, tcflag_t(0));
  }

  // Settings that cannot be read are reported, and the line is still set
  // up for the board instead of every flag being cleared.
  void unreadableSettings() {
    Board board;
    ScopedEnv map("LICHTSTEUERUNG_COM1", board.path());
    PortHandle = OpenComPort("Com1");
    QVERIFY(PortHandle >= 0);
    BoxLog log;
    bool refused = false;
    std::thread([&] {
      refused = RefuseReadingSettings(EIO, PortHandle);
      if (refused) ConfigureComPort(PortHandle);
    }).join();
    CloseComPort(PortHandle);
    PortHandle = -1;
    if (!refused)
      QSKIP("the kernel does not refuse reading a terminal's settings here (under qemu-user, say)");
    // The read-back that checks the line cannot be made either.
    QCOMPARE(log.transcript(), QStringLiteral("[GetCommState|%1][SetCommState|%1]").arg(SysError(EIO)));
    const termios after = board.lineSettings();
    QCOMPARE(::cfgetospeed(&after), speed_t(B9600));
    QCOMPARE(after.c_cflag & (CSIZE | PARENB | CSTOPB | CREAD | CLOCAL), tcflag_t(CS8 | CREAD | CLOCAL));
    QCOMPARE(after.c_lflag & (ECHO | ICANON | ISIG), tcflag_t(0));
  }

  void reconnectKeepsNoDescriptors() {
    WiredBoard board;
    BoxLog log(&board);
    const int descriptors = OpenDescriptors();
    for (int cycle = 0; cycle < 200; ++cycle) {
      ConnectOn(1);
      QCOMPARE(Form1->comportbut->text(), QStringLiteral("trennen"));
      ClickOn(QStringLiteral("comportbut"));
      QCOMPARE(PortHandle, -1);
      // Free for anybody else at once.
      const int other = ::open(board.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      QVERIFY(other >= 0);
      QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
      ::close(other);
    }
    QCOMPARE(OpenDescriptors(), descriptors);
    QCOMPARE(log.transcript(), QString());
  }

  // The echo box comes first and is closed before a single byte goes out.
  void sendCommandEchoesThenWrites() {
    WiredBoard board;
    ConnectOn(1);
    BoxLog log(&board);
    QCOMPARE(SendCommand("e0f0j1", 6), std::uint32_t{6});
    QCOMPARE(log.transcript(), QStringLiteral("[e0f0j1]e0f0j1"));
  }

  // For the record: how soon a command returns once its box is closed, to a
  // board that reads (its 6 bytes take 6.25 ms on the wire at 9600 baud), and
  // what the driver's output queue reads right after a write.
  void sendReturnsOnceSent() {
    WiredBoard board;
    ConnectOn(1);
    int queued = -1;
    QCOMPARE(::write(PortHandle, "i1", 2), ssize_t{2});
    QCOMPARE(::ioctl(PortHandle, TIOCOUTQ, &queued), 0);
    std::printf("figure: TIOCOUTQ right after a 2-byte write: %d\n", queued);
    QCOMPARE(board.take(2), QByteArray("i1"));

    BoxLog log;
    std::chrono::steady_clock::time_point closed;
    log.onBox = [&](const Box&) { closed = std::chrono::steady_clock::now(); };
    std::vector<double> returns;
    for (int send = 0; send < 40; ++send) {
      SendCommand("e0f0j1", 6);
      returns.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - closed).count());
    }
    QCOMPARE(board.take(240), QByteArray("e0f0j1").repeated(40));
    QCOMPARE(log.captions().count("WriteFile"), 0);
    std::sort(returns.begin(), returns.end());
    std::printf("figure: closed box to SendCommand's return (6 bytes), median %.2f ms, slowest %.2f ms\n",
                returns[returns.size() / 2], returns.back());
  }

  // Output held back by XOFF: the write gives up at its deadline and says
  // so, and a disconnect drops what is still held.
  void heldOutputIsReported() {
    WiredBoard board;
    board.enableXonXoff();
    ConnectOn(1);
    LICHT_STEP(board.holdOutput());

    BoxLog log(&board);
    SendCommand("a1", 2);  // how soon, and at what cost, the fault suite measures
    QCOMPARE(log.captions(), QStringList({QGuiApplication::applicationDisplayName(), "WriteFile"}));
    QCOMPARE(log.boxes[1].text, SysError(ETIMEDOUT));
    ClickOn(QStringLiteral("comportbut"));

    // Let the line go, then send a marker down it: whatever the port still
    // held of the command would reach the board before the marker.
    LICHT_STEP(board.releaseOutput());
    const int port = ::open(board.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(port >= 0);
    termios raw = board.lineSettings();
    ::cfmakeraw(&raw);
    ::tcsetattr(port, TCSANOW, &raw);
    pollfd writable{port, POLLOUT, 0};
    QCOMPARE(::poll(&writable, 1, 5000), 1);  // a pty takes the XON in a moment
    QCOMPARE(::write(port, "Z", 1), ssize_t{1});
    QCOMPARE(board.take(1), QByteArray("Z"));
    ::close(port);
  }

  void unpluggedPortIsReported() {
    if (!Board::canUnplug()) QSKIP("this line cannot be unplugged");
    WiredBoard board;
    ConnectOn(1);
    board.unplug();
    BoxLog log;
    SendCommand("b1", 2);
    QCOMPARE(log.transcript(), QStringLiteral("[b1][WriteFile|%1]").arg(SysError(EIO)));
  }

  void writeWithoutPort() {
    PortHandle = -1;
    BoxLog log;
    QCOMPARE(SendCommand("d0", 2), std::uint32_t{0});
    QCOMPARE(log.transcript(), QStringLiteral("[d0][WriteFile|%1]").arg(SysError(EBADF)));
  }

  // Hovering over a port tells where it leads at that moment.
  void portTooltips_data() {
    QTest::addColumn<QString>("mapping");
    QTest::addColumn<QString>("tip");
    QTest::newRow("mapped") << "/dev/ttyUSB7"
                            << "/dev/ttyUSB7";
    QTest::newRow("mapped to nothing") << ""
                                       << "Com6 (LICHTSTEUERUNG_COM6 ist gesetzt, aber leer)";
  }

  void portTooltips() {
    QFETCH(QString, mapping);
    QFETCH(QString, tip);
    ScopedForm form;
    ScopedEnv map("LICHTSTEUERUNG_COM6", mapping.toStdString());
    QRadioButton* item = Form1->comports->Items().at(5);
    QHelpEvent hover(QEvent::ToolTip, item->rect().center(), item->mapToGlobal(item->rect().center()));
    QApplication::sendEvent(item, &hover);
    QTRY_COMPARE(QToolTip::text(), tip);
    QToolTip::hideText();
  }

  // Which ttys count as serial ports, and in which order. Each tty as
  // "name" or "name:UART type" (the sysfs attribute).
  void machinePorts_data() {
    QTest::addColumn<QStringList>("ttys");
    QTest::addColumn<QStringList>("ports");
    QTest::newRow("PC") << QStringList{"ttyS0:4", "ttyS1:0", "ttyS10:4",  "ttyS2:4", "ttyUSB1", "ttyUSB0",
                                       "ttyACM0", "tty0",    "ttyprintk", "ttySx:4", "ttyS3"}
                        << QStringList{"ttyS0", "ttyS2", "ttyS10", "ttyUSB0", "ttyUSB1", "ttyACM0"};
    // A PL011 has a type of its own; ARM UARTs are only there when the chip is.
    QTest::newRow("ARM boards") << QStringList{"ttyACM0", "ttyAMA10:0", "ttyAMA0:32", "ttyS0:4", "ttySAC2",
                                               "ttymxc1", "ttyUSB0",    "ttySACx",    "ttyO1",   "ttyTHS0"}
                                << QStringList{"ttyS0", "ttyAMA0", "ttyAMA10", "ttymxc1", "ttySAC2",
                                               "ttyO1", "ttyTHS0", "ttyUSB0",  "ttyACM0"};
  }

  void machinePorts() {
    QFETCH(QStringList, ttys);
    QFETCH(QStringList, ports);
    QTemporaryDir sys;
    for (const QString& tty : ttys) {
      const std::filesystem::path entry = sys.filePath(tty.section(':', 0, 0)).toStdString();
      std::filesystem::create_directory(entry);
      if (tty.contains(':')) std::ofstream(entry / "type") << tty.section(':', 1).toStdString() << "\n";
    }
    std::vector<std::string> expected;
    for (const QString& port : ports) expected.push_back("/dev/" + port.toStdString());
    QCOMPARE(SerialPorts(sys.path().toStdString()), expected);
  }

  // What a tooltip tells of the device behind a port, from a sysfs tree laid
  // out as the kernel lays out USB adapters, boards and UARTs.
  void portIdentity_data() {
    QTest::addColumn<QString>("tty");
    QTest::addColumn<QString>("tip");
    QTest::newRow("USB adapter with serial number")
        << "ttyUSB0"
        << QString::fromUtf8(
               "DEV/ttyUSB0 — FTDI FT232R USB UART, Seriennummer A50285BI\n"
               "DEV/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    QTest::newRow("USB adapter without serial number")
        << "ttyUSB1" << QString::fromUtf8("DEV/ttyUSB1 — Prolific Technology Inc. USB-Serial Controller");
    QTest::newRow("USB board") << "ttyACM0"
                               << QString::fromUtf8(
                                      "DEV/ttyACM0 — Arduino (www.arduino.cc) Uno, Seriennummer 7");
    QTest::newRow("UART") << "ttyS0"
                          << "DEV/ttyS0";
    QTest::newRow("by-id name as the mapping")
        << "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
        << "DEV/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 (DEV/ttyUSB0) \u2014 FTDI FT232R "
           "USB UART, Seriennummer A50285BI";
  }

  void portIdentity() {
    QFETCH(QString, tty);
    QFETCH(QString, tip);
    namespace fs = std::filesystem;
    QTemporaryDir root;
    const fs::path top = root.path().toStdString();
    const fs::path dev = top / "dev";
    const fs::path devices = top / "sys/devices/pci0000:00/0000:00:14.0/usb1";
    const fs::path ttyClass = top / "sys/class/tty";
    fs::create_directories(dev / "serial/by-id");
    fs::create_directories(ttyClass);
    const auto usb = [&](const char* tty, const char* port,
                         std::initializer_list<std::pair<const char*, const char*>> attributes) {
      const fs::path device = devices / port;
      fs::create_directories(device / (std::string(port) + ":1.0") / tty);
      for (const auto& [name, value] : attributes) std::ofstream(device / name) << value << "\n";
      fs::create_directory_symlink(device / (std::string(port) + ":1.0") / tty, ttyClass / tty / "device");
    };
    for (const char* tty : {"ttyUSB0", "ttyUSB1", "ttyACM0", "ttyS0"}) {
      fs::create_directories(ttyClass / tty);
      std::ofstream(dev / tty) << "";
    }
    usb("ttyUSB0", "1-1",
        {{"idVendor", "0403"},
         {"manufacturer", "FTDI"},
         {"product", "FT232R USB UART"},
         {"serial", "A50285BI"}});
    usb("ttyUSB1", "1-2",
        {{"idVendor", "067b"},
         {"manufacturer", "Prolific Technology Inc."},
         {"product", "USB-Serial Controller"}});
    // A CDC-ACM board: the tty hangs off the interface itself.
    fs::create_directories(devices / "1-3/1-3:1.0");
    for (const auto& [name, value] : {std::pair{"idVendor", "2341"},
                                      {"manufacturer", "Arduino (www.arduino.cc)"},
                                      {"product", "Uno"},
                                      {"serial", "7"}})
      std::ofstream(devices / "1-3" / name) << value << "\n";
    fs::create_directory_symlink(devices / "1-3/1-3:1.0", ttyClass / "ttyACM0/device");
    fs::create_directories(top / "sys/devices/platform/serial8250/tty/ttyS0");
    fs::create_directory_symlink(top / "sys/devices/platform/serial8250", ttyClass / "ttyS0/device");
    fs::create_symlink("../../ttyUSB0", dev / "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");

    PortFacts port;
    port.device = (dev / tty.toStdString()).string();
    port.identity = IdentifyPort(port.device, ttyClass.string(), (dev / "serial/by-id").string());
    const std::string text = PortDescription("Com1", port);
    QCOMPARE(QString::fromStdString(text),
             QString(tip).replace(QLatin1String("DEV"), QString::fromStdString(dev.string())));
  }

  // The ports of the machine the suite runs on, when it says which it has
  // (LICHT_TEST_MACHINE_PORTS, e.g. in a virtual machine with real UARTs).
  void machinePortsOfThisMachine() {
    const QStringList expected =
        qEnvironmentVariable("LICHT_TEST_MACHINE_PORTS").split(' ', Qt::SkipEmptyParts);
    if (expected.isEmpty()) QSKIP("LICHT_TEST_MACHINE_PORTS is not set");
    QStringList found;
    for (const std::string& port : SerialPorts()) found << QString::fromStdString(port);
    QCOMPARE(found, expected);
    // Each port item tells the device it stands for, in order.
    ScopedForm form;
    for (int item = 0; item < 6; ++item) {
      QRadioButton* radio = Form1->comports->Items().at(item);
      QHelpEvent hover(QEvent::ToolTip, radio->rect().center(), radio->mapToGlobal(radio->rect().center()));
      QApplication::sendEvent(radio, &hover);
      const QString device = item < expected.size()
                                 ? expected[item]
                                 : QStringLiteral("Com%1 (kein serieller Anschluss gefunden").arg(item + 1);
      QTRY_VERIFY2(QToolTip::text().startsWith(device), qPrintable(QToolTip::text()));
      // udev gives every USB serial device a stable name.
      if (device.contains(QLatin1String("/dev/ttyUSB")) || device.contains(QLatin1String("/dev/ttyACM")))
        QVERIFY2(QToolTip::text().contains(QLatin1String("\n/dev/serial/by-id/usb-")),
                 qPrintable(QToolTip::text()));
      std::printf("figure: tooltip of Com%d: %s\n", item + 1, qPrintable(QToolTip::text()));
      QToolTip::hideText();
    }
  }

  void portNames_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("variable");
    QTest::newRow("Com1") << "Com1"
                          << "LICHTSTEUERUNG_COM1";
    QTest::newRow("Com6") << "Com6"
                          << "LICHTSTEUERUNG_COM6";
    QTest::newRow("Com9") << "Com9"
                          << "LICHTSTEUERUNG_COM9";
    QTest::newRow("two digits") << "Com10"
                                << "";
    QTest::newRow("leading zero") << "Com01"
                                  << "";
    QTest::newRow("lower case") << "com1"
                                << "";
    QTest::newRow("no number") << "Com"
                               << "";
    QTest::newRow("zero") << "Com0"
                          << "";
    QTest::newRow("sign") << "Com-1"
                          << "";
    QTest::newRow("empty") << ""
                           << "";
  }

  void portNames() {
    QFETCH(QString, name);
    QFETCH(QString, variable);
    QCOMPARE(QString::fromStdString(ComPortVariable(name.toStdString())), variable);
    if (variable.isEmpty()) {
      QCOMPARE(ComPortDevice(name.toStdString()), std::string());
    } else {
      ScopedEnv map(variable.toLatin1().constData(), "/dev/pts/77");
      QCOMPARE(ComPortDevice(name.toStdString()), std::string("/dev/pts/77"));
    }
  }
};

LICHT_TEST_MAIN(SerialTest)
#include "serial_test.moc"
