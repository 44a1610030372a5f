#include "Unit1.h"

#include "ComPort.h"
#include "LightTable.h"
#include "PortMessages.h"

#include <iterator>
#include <string>

TForm1* Form1 = nullptr;

namespace {

const std::string kConnect = "verbinden";
const std::string kDisconnect = "trennen";

constexpr const char* kPortNames[] = {"Com1", "Com2", "Com3", "Com4", "Com5", "Com6"};

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

}  // namespace

TForm1::TForm1(TApplication* owner) : TForm(owner) {
  Load(kUnit1Layout);
  comportbut = Button("comportbut");
  comports = RadioGroup("comports");
  Allgemein = GroupBox("Allgemein");
  Sonderfunktionen = GroupBox("Sonderfunktionen");
  Nebel = GroupBox("Nebel");
  Blinker = GroupBox("Blinker");
  Lichtautomatik = GroupBox("Lichtautomatik");
  Standlicht = CheckBox("Standlicht");
  Abblendlicht = CheckBox("Abblendlicht");
  Fernlicht = CheckBox("Fernlicht");
  Rueckwaerts = CheckBox("Rueckwaerts");
  Innenraum = CheckBox("Innenraum");
  Nebelschlussleuchte = CheckBox("Nebelschlussleuchte");
  Nebelscheinwerfer = CheckBox("Nebelscheinwerfer");
  Links = CheckBox("Links");
  Rechts = CheckBox("Rechts");
  Parklicht = CheckBox("Parklicht");
  Warnblinklicht = CheckBox("Warnblinklicht");
  Abblendlicht_auto = CheckBox("Abblendlicht_auto");
  Fernlicht_auto = CheckBox("Fernlicht_auto");

  // The caption stays as it was designed; a screen reader says what the program is.
  SetAccessibleName("Lichtsteuerung");
  // Devices come and go (USB adapters), so what a port stands for is worked
  // out each time it is asked.
  comports->SetItemDescriber(
      [](int item) { return PortDescription(kPortNames[item], LookUpPort(kPortNames[item])); });
  SetMessageDescriber(DescribeCommands);

  comportbut->OnClick([](TObject* sender) { Form1->comportbutClick(sender); });
  Standlicht->OnClick([](TObject* sender) { Form1->StandlichtClick(sender); });
  Abblendlicht->OnClick([](TObject* sender) { Form1->AbblendlichtClick(sender); });

  Form1->EnterDisconnectedState();
}

TForm1::~TForm1() {
  // Closing the window while connected sends nothing more, but the port is
  // released here rather than at exit, where output held back by flow
  // control would keep the process in the kernel's closing wait.
  CloseComPort(PortHandle);
  PortHandle = kNoPort;
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
    const CommandText& command = (Form1->*row.box)->Checked() ? row.on : row.off;
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
    PortHandle = kNoPort;
    return;
  }

  const int index = Form1->comports->ItemIndex();
  const char* name = index >= 0 && index < static_cast<int>(std::size(kPortNames)) ? kPortNames[index] : "";
  // The name is resolved once: a USB adapter re-plugged meanwhile must not
  // make the message name another device than the one that was tried.
  OpenAttempt attempt;
  PortHandle = OpenComPort(name, &attempt);
  if (PortHandle != kNoPort) {
    ConfigureComPort(PortHandle);
    SetComTimeouts(PortHandle);
    Form1->EnterConnectedState();
    return;
  }
  ShowMessage(
      "Der gewählte ComPort konnte nicht geöffnet werden.\n\n"
      "Bitte stellen sie sicher, das dieser von keiner anderen Anwendung benutzt wird." +
      OpenFailureDetail(name, attempt));
  Form1->EnterDisconnectedState();
}
