#pragma once

// Shared by the tests: pseudo-terminals or real serial lines as ports, a recorder that answers
// every box, and the environment that maps port names.

#include "Dialogs.h"
#include "Toolkit.h"

#include <QByteArray>
#include <QStringList>
#include <QtTest>

#include <sys/types.h>
#include <termios.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The board's end of the panel's serial line, played by the test.
//
// By default a fresh pseudo-terminal pair: the panel opens path(), the test
// holds the other end. With LICHT_TEST_PORT set, a real serial line instead:
// the panel opens LICHT_TEST_PORT, and the test holds LICHT_TEST_BOARD, the
// far end of a null-modem cable to it. LICHT_TEST_PLUG, when set, names a
// line to whatever can pull that cable (the monitor of a virtual machine, a
// USB gadget's controller): it takes "unplug TAG" and "plug TAG", one a
// line, and answers each with "ok TAG" once done, or "failed TAG: why".
class Board {
 public:
  Board();
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  const std::string& path() const { return path_; }
  // The boards of this run are serial ports of the machine rather than
  // pseudo-terminals (set by the environment, the same for every board).
  static bool real();
  // Everything the panel has written so far. Bytes on a real line take a
  // moment to cross it, so this waits (bounded) until at least `atLeast`
  // bytes have come.
  QByteArray take(std::size_t atLeast = 0);
  // The port's line settings, read or written through a descriptor of the
  // test's own (a real port keeps them between opens).
  termios lineSettings() const;
  void setLineSettings(const termios& settings);
  // Pulls the cable, and waits until the port is gone where it can go.
  static bool canUnplug();
  void unplug();
  // Software flow control on the port: set IXON before the panel connects
  // (it keeps the setting).
  void enableXonXoff();
  // Holds the panel's output back and lets it go again: with XOFF and XON,
  // or, where the driver ignores them (LICHT_TEST_HOLD=unread: cdc_acm), by
  // reading nothing until every buffer on the way is full, then reading
  // everything. Each returns what went wrong, or nothing (see LICHT_STEP).
  [[nodiscard]] QString holdOutput();
  [[nodiscard]] QString releaseOutput();

 private:
  void plugIn();
  // Asks the cable puller, and waits: what went wrong, or nothing.
  QString ask(const char* request);

  std::string path_;
  int far_ = -1;     // the board's end
  int near_ = -1;    // pty only: the terminal end, held so it outlives the panel's close
  int plug_ = -1;    // real only: the line to the cable puller
  termios saved_{};  // real only: the port's settings, put back afterwards
};

// Fails the calling test at once, at this step and with its message, when a
// helper's step returns what went wrong (a non-empty text).
#define LICHT_STEP(step)                                                           \
  do {                                                                             \
    const QString failure = (step);                                                \
    QVERIFY2(failure.isEmpty(), qPrintable(QStringLiteral(#step ": ") + failure)); \
  } while (false)

// Answers every box at once and keeps a transcript: each box as
// "[caption|text]" (caption left out for echo boxes), each run of bytes that
// reached the board before the box as it arrived.
class BoxLog {
 public:
  explicit BoxLog(Board* board = nullptr);
  ~BoxLog();
  BoxLog(const BoxLog&) = delete;
  BoxLog& operator=(const BoxLog&) = delete;

  std::vector<Box> boxes;
  // Called for every box after it has been logged.
  std::function<void(const Box&)> onBox;

  // Collects what is still on the line and returns the whole transcript.
  QString transcript();
  QStringList captions() const;

 private:
  // Takes what reached the board; `due` bytes are still on their way.
  void collect(std::size_t due);
  Board* board_;
  QByteArray due_;  // the command of the last echo box, unless its write failed
  QString transcript_;
  BoxHandler previous_;
};

// Another process that holds a device until the object dies: with flock, as
// cooperating programs do, or with TIOCEXCL alone, as terminal programs do.
class Holder {
 public:
  enum Lock : std::uint8_t { Flock, Exclusive };
  Holder(const std::string& path, Lock lock);
  ~Holder();
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

 private:
  pid_t pid_;
};

// Tries `tries` times, from a second process, to take `path` (mapped to
// "Com1") while the panel holds it, and returns how often it was refused:
// with the panel's own OpenComPort, with a plain open (which only TIOCEXCL
// stops), or with an open and flock.
enum class Opener : std::uint8_t { Panel, PlainOpen, Flock };
int RefusedFromAnotherProcess(const std::string& path, Opener how, int tries);

// The system's text for an error code, as the boxes show it.
inline QString SysError(int code) { return QString::fromStdString(SysErrorMessage(code)); }

// The message for a port that does not open: the fixed text, then where the
// port leads and the system's reason.
QString OpenFailureText(const QString& where, const QString& reason);

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string name_;
  std::string old_;
  bool had_;
};

// The CPU time this process has used so far, user and system.
double CpuSeconds();

// How many descriptors this process has open.
int OpenDescriptors();

// The transcript of a full send of the given thirteen commands.
QString FullSend(const QStringList& commands);

// The check boxes named, each as "Name=" followed by + (checked) or -
// (unchecked) and e (enabled) or d (disabled), e.g. "Standlicht=-e".
QString BoxStates(const QStringList& names);

// Clicks a control of Form1 by name, as a user does with the mouse.
void ClickOn(const QString& name);

// Creates Form1 for one test and destroys it afterwards.
class ScopedForm {
 public:
  ScopedForm();
  ~ScopedForm();
};

// The opening most tests share: a board on the port "Com<n>" (only mapped:
// the panel's choice stays at "Com1") and the panel's window.
class WiredBoard : public Board {
 public:
  explicit WiredBoard(int n = 1);

 private:
  ScopedEnv map_;
  ScopedForm form_;
};

// The application object of the test program.
extern TApplication* TheApplication;

// Runs the test object inside the program's own application object.
#define LICHT_TEST_MAIN(TestClass)                                                               \
  int main(int argc, char** argv) {                                                              \
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen"); \
    TApplication application(argc, argv);                                                        \
    application.Initialize();                                                                    \
    TheApplication = &application;                                                               \
    TestClass test;                                                                              \
    return QTest::qExec(&test, argc, argv);                                                      \
  }
