#pragma once

// Shared by the tests: real pseudo-terminals as ports, a recorder that answers
// every box, and the environment that maps port names.

#include "Dialogs.h"
#include "Toolkit.h"

#include <QByteArray>
#include <QStringList>
#include <QtTest>

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A pseudo-terminal pair: the panel opens `path`, the test plays the board on
// `master`. The terminal starts with the settings a fresh pty has.
class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& path() const { return path_; }
  int master() const { return master_; }
  // The terminal end, for setting up or reading back its line settings.
  int slave() const { return slave_; }
  // Everything the panel has written so far, without waiting.
  QByteArray take();
  // Closes the board's end, as pulling the cable does.
  void unplug();
  // Software flow control on the terminal: set IXON before the panel
  // connects (it keeps the setting), then hold its output with XOFF.
  void enableXonXoff();
  void sendXoff();

 private:
  int master_ = -1;
  int slave_ = -1;  // held so the terminal outlives the panel's close
  std::string path_;
};

// Answers every box at once and keeps a transcript: each box as
// "[caption|text]" (caption left out for echo boxes), each run of bytes that
// reached the board before the box as it arrived.
class BoxLog {
 public:
  explicit BoxLog(Pty* board = nullptr);
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
  void collect();
  Pty* board_;
  QString transcript_;
  BoxHandler previous_;
};

// Another process that holds a device until the object dies: with flock, as
// cooperating programs do, or with TIOCEXCL alone, as terminal programs do.
class Holder {
 public:
  enum Lock { Flock, Exclusive };
  Holder(const std::string& path, Lock lock);
  ~Holder();
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

 private:
  pid_t pid_;
};

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
