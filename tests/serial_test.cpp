#include "Support.h"

#include "ComPort.h"
#include "PortNames.h"
#include "Unit1.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QHelpEvent>
#include <QTemporaryDir>
#include <QToolTip>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace {

// Connects the panel on "Com<n>" with the device mapped to `path`.
void ConnectOn(int n) {
  Form1->comports->SetItemIndex(n - 1);
  ClickOn(QStringLiteral("comportbut"));
}

std::string LinkTarget(int fd) {
  return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)).string();
}

}  // namespace

class SerialTest : public QObject {
  Q_OBJECT

 private slots:
  // The line settings after a connect, for every way the flow control and
  // the modem lines may have been set before.
  void connectConfiguresThePort_data() {
    QTest::addColumn<tcflag_t>("cflags");
    QTest::addColumn<tcflag_t>("iflags");
    for (int bits = 0; bits < 16; ++bits) {
      const tcflag_t cflags = (bits & 1 ? CRTSCTS : 0) | (bits & 2 ? CLOCAL : 0);
      const tcflag_t iflags = (bits & 4 ? IXON : 0) | (bits & 8 ? IXOFF : 0);
      QTest::addRow("%s%s%s%s", bits & 1 ? "crtscts " : "", bits & 2 ? "clocal " : "",
                    bits & 4 ? "ixon " : "",
                    bits & 8 ? "ixoff"
                    : bits   ? ""
                             : "none")
          << cflags << iflags;
    }
  }

  void connectConfiguresThePort() {
    QFETCH(tcflag_t, cflags);
    QFETCH(tcflag_t, iflags);
    Pty board;
    termios before{};
    ::tcgetattr(board.slave(), &before);
    // Start far from 9600 8N1, with the line discipline fully on.
    before.c_cflag = (before.c_cflag & ~(CSIZE | CRTSCTS | CLOCAL)) | CS7 | PARENB | CSTOPB | cflags;
    before.c_iflag = (before.c_iflag & ~(IXON | IXOFF)) | ICRNL | iflags;
    before.c_lflag |= ECHO | ICANON | ISIG;
    before.c_oflag |= OPOST | ONLCR;
    ::cfsetispeed(&before, B115200);
    ::cfsetospeed(&before, B115200);
    QCOMPARE(::tcsetattr(board.slave(), TCSANOW, &before), 0);

    ScopedEnv map("LICHTSTEUERUNG_COM3", board.path());
    ScopedForm form;
    BoxLog log(&board);
    ConnectOn(3);

    QCOMPARE(log.transcript(), QString());  // no box, nothing sent
    QCOMPARE(Form1->comportbut->GetText(), QStringLiteral("trennen"));
    QCOMPARE(LinkTarget(PortHandle), board.path());
    termios after{};
    QCOMPARE(::tcgetattr(board.slave(), &after), 0);
    QCOMPARE(::cfgetospeed(&after), speed_t(B9600));
    QCOMPARE(::cfgetispeed(&after), speed_t(B9600));
    QCOMPARE(after.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
    QCOMPARE(after.c_cflag & (CRTSCTS | CLOCAL), cflags);
    QCOMPARE(after.c_iflag & (IXON | IXOFF), iflags);
    QCOMPARE(after.c_lflag & (ECHO | ICANON | ISIG), tcflag_t(0));
    QCOMPARE(after.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(after.c_iflag & ICRNL, tcflag_t(0));
    QCOMPARE(int(after.c_cc[VMIN]), 0);
    QCOMPARE(int(after.c_cc[VTIME]), 1);
  }

  void portThatDoesNotOpen_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reasonEnd");
    QTest::newRow("held by another process") << "held" << SysErrorMessage(EBUSY);
    QTest::newRow("missing device") << "missing" << SysErrorMessage(ENOENT);
    QTest::newRow("empty mapping") << "empty" << SysErrorMessage(ENODEV);
    QTest::newRow("directory") << "directory" << SysErrorMessage(EISDIR);
  }

  void portThatDoesNotOpen() {
    QFETCH(QString, kind);
    QFETCH(QString, reasonEnd);
    Pty board;
    std::string path = board.path();
    std::unique_ptr<Holder> holder;
    if (kind == "held") holder = std::make_unique<Holder>(path, Holder::Flock);
    if (kind == "missing") path = "/dev/ttyNOSUCH7";
    if (kind == "empty") path.clear();
    if (kind == "directory") path = "/tmp";
    ScopedEnv map("LICHTSTEUERUNG_COM2", path);
    ScopedForm form;
    const int descriptors = OpenDescriptors();
    BoxLog log(&board);
    ConnectOn(2);

    QCOMPARE(log.boxes.size(), std::size_t{1});
    QCOMPARE(log.boxes[0].kind, BoxKind::Message);
    const QString where =
        path.empty()
            ? QStringLiteral("Com2 (kein serieller Anschluss gefunden, LICHTSTEUERUNG_COM2 nicht gesetzt)")
            : QString::fromStdString(path);
    QCOMPARE(log.boxes[0].text, OpenFailureText(where, reasonEnd));
    QCOMPARE(Form1->comportbut->GetText(), QStringLiteral("verbinden"));
    QVERIFY(Form1->comports->isEnabled());
    QCOMPARE(PortHandle, -1);
    QCOMPARE(OpenDescriptors(), descriptors);
    QCOMPARE(board.take(), QByteArray());
  }

  // Not a terminal: every line-setting call is reported, and the panel is
  // connected all the same.
  void deviceThatIsNoTerminal_data() {
    QTest::addColumn<QString>("path");
    QTest::newRow("/dev/null") << "/dev/null";
    QTest::newRow("regular file") << "";
  }

  void deviceThatIsNoTerminal() {
    QFETCH(QString, path);
    QTemporaryDir dir;
    if (path.isEmpty()) {
      path = dir.filePath("port");
      std::ofstream(path.toStdString()) << "";
    }
    ScopedEnv map("LICHTSTEUERUNG_COM1", path.toStdString());
    ScopedForm form;
    BoxLog log;
    ConnectOn(1);
    const QString notTty = SysErrorMessage(ENOTTY);
    QCOMPARE(log.transcript(),
             QStringLiteral("[GetCommState|%1][SetCommState|%1][SetCommTimeouts|%1]").arg(notTty));
    QCOMPARE(Form1->comportbut->GetText(), QStringLiteral("trennen"));
  }

  void reconnectKeepsNoDescriptors() {
    Pty board;
    ScopedEnv map("LICHTSTEUERUNG_COM1", board.path());
    ScopedForm form;
    BoxLog log(&board);
    const int descriptors = OpenDescriptors();
    for (int cycle = 0; cycle < 200; ++cycle) {
      ConnectOn(1);
      QCOMPARE(Form1->comportbut->GetText(), QStringLiteral("trennen"));
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
    Pty board;
    ScopedEnv map("LICHTSTEUERUNG_COM1", board.path());
    ScopedForm form;
    ConnectOn(1);
    BoxLog log(&board);
    QCOMPARE(SendCommand("e0f0j1", 6), std::uint32_t{6});
    QCOMPARE(log.transcript(), QStringLiteral("[e0f0j1]e0f0j1"));
  }

  // Output held back by XOFF: the write gives up at its deadline, says so,
  // and sleeps while it waits.
  void heldOutputIsReported() {
    Pty board;
    board.enableXonXoff();
    ScopedEnv map("LICHTSTEUERUNG_COM1", board.path());
    ScopedForm form;
    ConnectOn(1);
    board.sendXoff();

    BoxLog log(&board);
    const double cpu = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    SendCommand("a1", 2);
    const auto waited = std::chrono::steady_clock::now() - start;
    QCOMPARE(log.captions(), QStringList({QGuiApplication::applicationDisplayName(), "WriteFile"}));
    QCOMPARE(log.boxes[1].text, SysErrorMessage(ETIMEDOUT));
    // Bounds that only a hang or a busy loop can break.
    QVERIFY(waited < kWriteDeadline + std::chrono::milliseconds(500));
    QVERIFY2(CpuSeconds() - cpu < 0.2, qPrintable(QString::number(CpuSeconds() - cpu)));

    // A disconnect while held does not sit in the kernel's closing wait.
    const auto closing = std::chrono::steady_clock::now();
    ClickOn(QStringLiteral("comportbut"));
    QVERIFY(std::chrono::steady_clock::now() - closing < std::chrono::seconds(2));
  }

  void unpluggedPortIsReported() {
    Pty board;
    ScopedEnv map("LICHTSTEUERUNG_COM1", board.path());
    ScopedForm form;
    ConnectOn(1);
    board.unplug();
    BoxLog log;
    SendCommand("b1", 2);
    QCOMPARE(log.transcript(), QStringLiteral("[b1][WriteFile|%1]").arg(SysErrorMessage(EIO)));
  }

  void writeWithoutPort() {
    PortHandle = -1;
    BoxLog log;
    QCOMPARE(SendCommand("d0", 2), std::uint32_t{0});
    QCOMPARE(log.transcript(), QStringLiteral("[d0][WriteFile|%1]").arg(SysErrorMessage(EBADF)));
  }

  // Hovering over a port tells where it leads at that moment.
  void portTooltips_data() {
    QTest::addColumn<QString>("mapping");
    QTest::addColumn<QString>("tip");
    QTest::newRow("mapped") << "/dev/ttyUSB7"
                            << "/dev/ttyUSB7";
    QTest::newRow("mapped to nothing")
        << ""
        << "Com6 (kein serieller Anschluss gefunden, LICHTSTEUERUNG_COM6 nicht gesetzt)";
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

  // Which ttys count as serial ports, and in which order.
  void machinePorts() {
    QTemporaryDir sys;
    const std::pair<const char*, const char*> ttys[] = {
        {"ttyS0", "4"},         {"ttyS1", "0"},       {"ttyS10", "4"},      {"ttyS2", "4"},
        {"ttyUSB1", nullptr},   {"ttyUSB0", nullptr}, {"ttyACM0", nullptr}, {"tty0", nullptr},
        {"ttyprintk", nullptr}, {"ttySx", "4"},       {"ttyS3", nullptr}};
    for (const auto& [name, type] : ttys) {
      const std::filesystem::path entry = sys.filePath(name).toStdString();
      std::filesystem::create_directory(entry);
      if (type) std::ofstream(entry / "type") << type << "\n";
    }
    const std::vector<std::string> expected{"/dev/ttyS0",   "/dev/ttyS2",   "/dev/ttyS10",
                                            "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyACM0"};
    QCOMPARE(SerialPorts(sys.path().toStdString()), expected);
  }

  void portNames_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("variable");
    QTest::newRow("Com1") << "Com1"
                          << "LICHTSTEUERUNG_COM1";
    QTest::newRow("Com6") << "Com6"
                          << "LICHTSTEUERUNG_COM6";
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
