// The main window's stored layout, loaded by the form toolkit on every
// platform. Sizes are pixels at 96 pixels per inch.

#include "Unit1.h"

#include <iterator>

namespace {

constexpr const char* kPorts[] = {"Com1", "Com2", "Com3", "Com4", "Com5", "Com6", nullptr};

using K = ControlKind;

const ControlLayout kControls[] = {
    {"comportbut", K::Button, nullptr, {160, 208, 209, 33}, "verbinden"},
    {"comports", K::RadioGroup, nullptr, {280, 8, 89, 193}, "ComPort", nullptr, kPorts, 0},
    {"Allgemein", K::GroupBox, nullptr, {8, 8, 137, 89}, "Allgemein"},
    {"Standlicht", K::CheckBox, "Allgemein", {8, 16, 81, 17}, "Standlicht"},
    {"Abblendlicht", K::CheckBox, "Allgemein", {8, 40, 81, 17}, "Abblendlicht"},
    {"Fernlicht", K::CheckBox, "Allgemein", {8, 64, 81, 17}, "Fernlicht"},
    {"Sonderfunktionen", K::GroupBox, nullptr, {8, 104, 137, 65}, "Sonderfunktionen"},
    {"Rueckwaerts", K::CheckBox, "Sonderfunktionen", {8, 16, 97, 17}, "Rueckwaerts"},
    {"Innenraum", K::CheckBox, "Sonderfunktionen", {8, 40, 97, 17}, "Innenraum"},
    {"Nebel", K::GroupBox, nullptr, {8, 176, 137, 65}, "Nebel"},
    {"Nebelschlussleuchte", K::CheckBox, "Nebel", {8, 16, 121, 17}, "Nebelschlussleuchte"},
    {"Nebelscheinwerfer", K::CheckBox, "Nebel", {8, 40, 121, 17}, "Nebelscheinwerfer"},
    {"Blinker", K::GroupBox, nullptr, {160, 8, 105, 121}, "Blinker"},
    {"Links", K::CheckBox, "Blinker", {8, 16, 73, 17}, "Links"},
    {"Rechts", K::CheckBox, "Blinker", {8, 40, 81, 17}, "Rechts"},
    // Stands below the hazard lights, and comes before them in the tab order.
    {"Parklicht", K::CheckBox, "Blinker", {8, 88, 81, 17}, "Parklicht"},
    {"Warnblinklicht", K::CheckBox, "Blinker", {8, 64, 89, 17}, "Warnblinklicht"},
    {"Lichtautomatik", K::GroupBox, nullptr, {160, 136, 105, 65}, "Lichtautomatik"},
    // The same captions as two boxes of "Allgemein"; a screen reader says which.
    {"Abblendlicht_auto",
     K::CheckBox,
     "Lichtautomatik",
     {8, 16, 89, 17},
     "Abblendlicht",
     "Abblendlicht (Lichtautomatik)"},
    {"Fernlicht_auto",
     K::CheckBox,
     "Lichtautomatik",
     {8, 40, 81, 17},
     "Fernlicht",
     "Fernlicht (Lichtautomatik)"},
};

}  // namespace

const FormLayout kUnit1Layout = {
    "TForm1", "window", {475, 106, 386, 276}, "MS Sans Serif", 11, kControls, std::size(kControls),
};
