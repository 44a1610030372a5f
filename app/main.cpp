#include "Unit1.h"

int main(int argc, char* argv[]) {
  TApplication::SetName("lichtsteuerung", "de.lichtsteuerung.Lichtsteuerung");
  TApplication Application(argc, argv);
  Application.Guard([&] {
    Application.Initialize();
    Application.CreateForm(Form1);
    Application.Run();
  });
  return 0;
}
