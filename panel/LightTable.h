#pragma once

#include "Unit1.h"

#include <cstdint>
#include <string>

// One light command: the bytes for the board, written without terminator.
struct CommandText {
  template <std::size_t N>
  constexpr CommandText(const char (&literal)[N]) : text(literal), length(N - 1) {}
  const char* text;
  std::uint32_t length;
};

// A check box of the window, named by its member.
using BoxMember = TCheckBox* TForm1::*;

struct LightRow {
  BoxMember box;
  CommandText on;
  CommandText off;
};

// The whole lighting state in the order the board expects it. The parking
// light and the hazard lights clear both indicators in the same write.
inline constexpr LightRow kLightTable[] = {
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

// What an echo box's light commands do, in words for a screen reader: "a0"
// is "Abblendlicht aus". Any other text needs no description.
std::string DescribeCommands(const std::string& text);
