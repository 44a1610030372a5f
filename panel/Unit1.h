#pragma once

#include "Toolkit.h"

class TForm1 : public TForm {
 public:
  explicit TForm1(TApplication* owner);
  ~TForm1() override;

  // The controls, filled from the layout by the constructor.
  TButton* comportbut = nullptr;
  TRadioGroup* comports = nullptr;
  TGroupBox* Allgemein = nullptr;
  TGroupBox* Sonderfunktionen = nullptr;
  TGroupBox* Nebel = nullptr;
  TGroupBox* Blinker = nullptr;
  TGroupBox* Lichtautomatik = nullptr;
  TCheckBox* Standlicht = nullptr;
  TCheckBox* Abblendlicht = nullptr;
  TCheckBox* Fernlicht = nullptr;
  TCheckBox* Rueckwaerts = nullptr;
  TCheckBox* Innenraum = nullptr;
  TCheckBox* Nebelschlussleuchte = nullptr;
  TCheckBox* Nebelscheinwerfer = nullptr;
  TCheckBox* Links = nullptr;
  TCheckBox* Rechts = nullptr;
  TCheckBox* Parklicht = nullptr;
  TCheckBox* Warnblinklicht = nullptr;
  TCheckBox* Abblendlicht_auto = nullptr;
  TCheckBox* Fernlicht_auto = nullptr;

  void comportbutClick(TObject* Sender);
  void StandlichtClick(TObject* Sender);
  void AbblendlichtClick(TObject* Sender);

  void EnterConnectedState();
  void EnterDisconnectedState();
  void SendAllLights();
};

// The one main window; every panel routine reaches the controls through it.
extern TForm1* Form1;

// The window's stored layout.
extern const FormLayout kUnit1Layout;
