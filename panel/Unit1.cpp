#include "Unit1.h"

#include "ComPort.h"
#include "Dialogs.h"
#include "LightDecoder.h"
#include "PortNames.h"
#include "ui_Unit1.h"

#include <QStringList>

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <iterator>

TForm1* Form1 = nullptr;

namespace {

const QString kConnect = QStringLiteral("verbinden");
const QString kDisconnect = QStringLiteral("trennen");

// Serial ports belong to the group dialout on Debian and its kin.
const QString kDialoutHint = QString::fromUtf8(
    "Ihr Benutzer darf diesen Anschluss nicht öffnen: Nehmen Sie ihn mit "
    "\u201Esudo usermod -aG dialout $USER\u201C in die Gruppe dialout auf und melden Sie sich danach neu "
    "an.");

// This program's own last close of the port still waits in the kernel for the
// board to take what was sent (up to the driver's closing wait).
const QString kStillClosingHint = QString::fromUtf8(
    "Dieses Programm gibt den Anschluss noch frei: Das Gerät hat die zuletzt gesendeten Befehle "
    "nicht abgenommen, und der Treiber wartet bis zu 30 Sekunden darauf. Versuchen Sie es danach "
    "noch einmal.");

constexpr const char* kPortNames[] = {"Com1", "Com2", "Com3", "Com4", "Com5", "Com6"};

// One light command: the bytes for the board, written without terminator.
struct Command {
  template <std::size_t N>
  constexpr Command(const char (&literal)[N]) : text(literal), length(N - 1) {}
  const char* text;
  std::uint32_t length;
};

// A check box of the window, named by its member.
using BoxMember = TCheckBox* TForm1::*;

struct LightRow {
  BoxMember box;
  Command on;
  Command off;
};

// The whole lighting state in the order the board expects it. The parking
// light and the hazard lights clear both indicators in the same write.
constexpr LightRow kLightTable[] = {
    {&TForm1::Abblendlicht, "a1", "a0"},
    {&TForm1::Fernlicht, "c1", "c0"},
    {&TForm1::Standlicht, "b1", "b0"},
    {&TForm1::Parklicht, "e0f0j1", "e0f0j0"},
    {&TForm1::Links, "e1", "e0"},
    {&TForm1::Rechts, "f1", "f0"},
    {&TForm1::Warnblinklicht, "e0f0e1f1", "e0f0"},
    {&TForm1::Abblendlicht_auto, "k1", "k0"},
    {&TForm1::Fernlicht_auto, "l1", "l0"},
    {&TForm1::Nebelscheinwerfer, "g1", "g0"},
    {&TForm1::Nebelschlussleuchte, "h1", "h0"},
    {&TForm1::Innenraum, "i1", "i0"},
    {&TForm1::Rueckwaerts, "d1", "d0"},
};

struct BoxState {
  BoxMember box;
  bool enabled;
  bool checked;
};

// The order matters: unchecking the low beam or the side light runs their
// handlers, which send the state of the boxes further down as it still is.
constexpr BoxState kConnectedBoxes[] = {
    {&TForm1::Abblendlicht, true, false},
    {&TForm1::Fernlicht, false, false},
    {&TForm1::Standlicht, true, false},
    {&TForm1::Links, true, false},
    {&TForm1::Rechts, true, false},
    {&TForm1::Parklicht, true, false},
    {&TForm1::Warnblinklicht, true, false},
    {&TForm1::Abblendlicht_auto, true, false},
    {&TForm1::Fernlicht_auto, true, false},
    {&TForm1::Nebelscheinwerfer, false, false},
    {&TForm1::Nebelschlussleuchte, false, false},
    {&TForm1::Innenraum, true, true},
    {&TForm1::Rueckwaerts, true, false},
};

constexpr BoxState kDisconnectedBoxes[] = {
    {&TForm1::Abblendlicht, false, false},
    {&TForm1::Fernlicht, false, false},
    {&TForm1::Standlicht, false, false},
    {&TForm1::Links, false, false},
    {&TForm1::Rechts, false, false},
    {&TForm1::Parklicht, false, false},
    {&TForm1::Warnblinklicht, false, false},
    {&TForm1::Abblendlicht_auto, false, false},
    {&TForm1::Fernlicht_auto, false, false},
    {&TForm1::Nebelscheinwerfer, false, false},
    {&TForm1::Nebelschlussleuchte, false, false},
    {&TForm1::Innenraum, false, true},
    {&TForm1::Rueckwaerts, false, false},
};

template <std::size_t N>
void ApplyBoxStates(const BoxState (&table)[N]) {
  for (const BoxState& row : table) {
    TCheckBox* box = Form1->*row.box;
    box->SetEnabled(row.enabled);
    box->SetChecked(row.checked);
  }
}

// Where a port name leads, in words for the user: the device it stands for,
// or why there is none.
QString PortWhere(const char* name, const std::string& device) {
  if (!device.empty()) return QString::fromStdString(device);
  const std::string variable = ComPortVariable(name);
  const char* mapped = std::getenv(variable.c_str());
  if (mapped && *mapped == '\0')
    return QStringLiteral("%1 (%2 ist gesetzt, aber leer)")
        .arg(QLatin1String(name), QString::fromStdString(variable));
  return QStringLiteral("%1 (kein serieller Anschluss gefunden, %2 nicht gesetzt)")
      .arg(QLatin1String(name), QString::fromStdString(variable));
}

// Why a device did not open, in words for the user: the system's text, or
// what it is when that is no device at all.
QString OpenFailureReason(const std::string& device, int error) {
  struct stat status = {};
  if (error != ENOTTY || ::stat(device.c_str(), &status) != 0) return SysErrorMessage(error);
  const char* kind = S_ISREG(status.st_mode)    ? "eine gewöhnliche Datei"
                     : S_ISDIR(status.st_mode)  ? "ein Verzeichnis"
                     : S_ISFIFO(status.st_mode) ? "eine benannte Pipe (FIFO)"
                     : S_ISSOCK(status.st_mode) ? "ein Socket"
                     : S_ISBLK(status.st_mode)  ? "ein Blockgerät"
                                                : nullptr;
  if (!kind) return QStringLiteral("kein serieller Anschluss");
  return QString::fromUtf8("kein serieller Anschluss, sondern %1").arg(QString::fromUtf8(kind));
}

// The tooltip of a port: where it leads, and what the machine knows of the
// device there, so that two adapters can be told apart.
QString PortTip(const char* name) {
  const std::string device = ComPortDevice(name);
  if (device.empty()) return PortWhere(name, device);
  return QString::fromStdString(DescribePort(device, IdentifyPort(device)));
}

// What an echo box's light commands do, in words for a screen reader: "a0"
// is "Abblendlicht aus". Any other text needs no description.
QString DescribeCommands(const QString& text) {
  const QByteArray bytes = text.toLatin1();
  LightDecoder decoder;
  QStringList said;
  for (const LightDecoder::Event& event :
       decoder.Feed(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                    static_cast<std::size_t>(bytes.size()))) {
    if (event.kind != LightDecoder::Event::Command) return {};
    said << QString::fromUtf8(LightDecoder::Name(event.channel)) + (event.on ? " an" : " aus");
  }
  return bytes.size() % 2 == 0 ? said.join(QStringLiteral(", ")) : QString();
}

}  // namespace

TForm1::TForm1(TApplication* owner) : TForm(owner) {
  Ui::TForm1 ui;
  ui.setupUi(this);
  comportbut = ui.comportbut;
  comports = ui.comports;
  Allgemein = ui.Allgemein;
  Sonderfunktionen = ui.Sonderfunktionen;
  Nebel = ui.Nebel;
  Blinker = ui.Blinker;
  Lichtautomatik = ui.Lichtautomatik;
  Standlicht = ui.Standlicht;
  Abblendlicht = ui.Abblendlicht;
  Fernlicht = ui.Fernlicht;
  Rueckwaerts = ui.Rueckwaerts;
  Innenraum = ui.Innenraum;
  Nebelschlussleuchte = ui.Nebelschlussleuchte;
  Nebelscheinwerfer = ui.Nebelscheinwerfer;
  Links = ui.Links;
  Rechts = ui.Rechts;
  Parklicht = ui.Parklicht;
  Warnblinklicht = ui.Warnblinklicht;
  Abblendlicht_auto = ui.Abblendlicht_auto;
  Fernlicht_auto = ui.Fernlicht_auto;

  // The layout was drawn for an 11-pixel bitmap font whose captions run
  // narrower than any free Arial-like face of that size; the narrow face is
  // the one that keeps every caption inside its control. The size is set in
  // pixels because a layout file can only give points, which turn into other
  // pixel sizes at other logical DPI.
  QFont designed = font();
  designed.setPixelSize(11);
  setFont(designed);
  // The layout's 378 x 249 is the inside of the designed 386 x 276 window
  // (4-pixel frame, 19-pixel title bar); the window manager adds its own.
  setMinimumSize(size());
  move(475, 106);  // where it was designed to open; the window manager may place it elsewhere

  // The caption stays as it was designed; a screen reader says what the program is.
  setAccessibleName(QStringLiteral("Lichtsteuerung"));
  // Devices come and go (USB adapters), so what a port stands for is worked
  // out each time it is asked.
  comports->SetItemDescriber([](int item) { return PortTip(kPortNames[item]); });
  SetMessageDescriber(DescribeCommands);

  connect(comportbut, &TButton::Click, this, &TForm1::comportbutClick);
  connect(Standlicht, &TCheckBox::Click, this, &TForm1::StandlichtClick);
  connect(Abblendlicht, &TCheckBox::Click, this, &TForm1::AbblendlichtClick);

  Form1->EnterDisconnectedState();
}

TForm1::~TForm1() {
  // Closing the window while connected sends nothing more, but the port is
  // released here rather than at exit, where output held back by flow
  // control would keep the process in the kernel's closing wait.
  CloseComPort(PortHandle);
  PortHandle = -1;
}

void TForm1::EnterConnectedState() {
  Form1->comportbut->SetText(kDisconnect);
  Form1->comports->SetEnabled(false);
  ApplyBoxStates(kConnectedBoxes);
}

void TForm1::EnterDisconnectedState() {
  Form1->comportbut->SetText(kConnect);
  Form1->comports->SetEnabled(true);
  ApplyBoxStates(kDisconnectedBoxes);
}

void TForm1::SendAllLights() {
  for (const LightRow& row : kLightTable) {
    const Command& command = (Form1->*row.box)->Checked() ? row.on : row.off;
    SendCommand(command.text, command.length);
  }
}

void TForm1::StandlichtClick(TObject* /*Sender*/) { Form1->SendAllLights(); }

void TForm1::AbblendlichtClick(TObject* /*Sender*/) {
  // The high beam may only be on with the low beam, and the low beam
  // replaces the side light.
  if (Form1->Abblendlicht->Checked()) {
    Form1->Standlicht->SetChecked(false);
    Form1->Fernlicht->SetChecked(false);
    Form1->Fernlicht->SetEnabled(true);
  } else {
    Form1->Fernlicht->SetChecked(false);
    Form1->Fernlicht->SetEnabled(false);
  }
  Form1->SendAllLights();
}

void TForm1::comportbutClick(TObject* /*Sender*/) {
  if (Form1->comportbut->GetText() != kConnect) {
    // The lights-off sends of the reset still go out on the open port.
    Form1->EnterDisconnectedState();
    CloseComPort(PortHandle);
    PortHandle = -1;
    return;
  }

  const int index = Form1->comports->ItemIndex();
  const char* name = index >= 0 && index < static_cast<int>(std::size(kPortNames)) ? kPortNames[index] : "";
  // The name is resolved once: a USB adapter re-plugged meanwhile must not
  // make the message name another device than the one that was tried.
  std::string device;
  PortHandle = OpenComPort(name, &device);
  if (PortHandle != -1) {
    ConfigureComPort(PortHandle);
    SetComTimeouts(PortHandle);
    Form1->EnterConnectedState();
    return;
  }

  const int reason = errno;
  // The fixed text guesses another program; the system's reason tells the
  // real one, most often a user who is not in the dialout group.
  QString text = QString::fromUtf8(
                     "Der gewählte ComPort konnte nicht geöffnet werden.\n\n"
                     "Bitte stellen sie sicher, das dieser von keiner anderen "
                     "Anwendung benutzt wird.") +
                 QStringLiteral("\n\n%1: %2").arg(PortWhere(name, device), OpenFailureReason(device, reason));
  if (reason == EACCES) text += QStringLiteral("\n\n") + kDialoutHint;
  if (reason == EBUSY && DeviceClosing(device)) text += QStringLiteral("\n\n") + kStillClosingHint;
  ShowMessage(text);
  Form1->EnterDisconnectedState();
}
