#pragma once

#include "LightDecoder.h"

#include <QFile>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <memory>

class QLabel;
class QWidget;

// The lighting board on a pseudo-terminal: the panel opens devicePath(), the
// simulator holds the other end, decodes what arrives and shows it.
class Simulator : public QObject {
  Q_OBJECT

 public:
  // Opens the pseudo-terminal; `rawPath`, when not empty, receives every
  // byte as it arrives. Throws std::runtime_error when the terminal cannot
  // be had.
  explicit Simulator(const QString& rawPath);
  ~Simulator() override;

  const QString& devicePath() const { return devicePath_; }

  // A window with one lamp a channel, the line settings and the last error.
  QWidget* createWindow();

  // A board that stops reading: software flow control on the line (IXON,
  // set before the panel opens it, which keeps it), then XOFF: the panel's
  // output is held until resumeOutput sends XON.
  void holdOutput();
  void resumeOutput();

 private:
  void readBoard();
  void sendFlowControl(char byte);
  void pollLine();
  void log(const std::string& line);
  void refreshWindow();

  int master_ = -1;
  int slave_ = -1;  // held so the terminal lives on while the panel is away
  QString devicePath_;
  QFile raw_;
  std::unique_ptr<QSocketNotifier> reader_;
  LightDecoder decoder_;
  QString line_;
  QString lastError_;
  int errors_ = 0;

  std::unique_ptr<QWidget> window_;
  QLabel* lamps_[kChannels] = {};
  QLabel* lineLabel_ = nullptr;
  QLabel* errorLabel_ = nullptr;
};
