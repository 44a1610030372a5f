#pragma once

#include <cstddef>
#include <cstdint>

// A window's stored layout, as the form toolkit loads it: the window, then
// its controls in the stored order, which is also their tab order within
// each parent. Sizes are pixels at 96 pixels per inch; each platform scales
// them to its screen.

enum class ControlKind : std::uint8_t { Button, RadioGroup, GroupBox, CheckBox };

struct Rect {
  int left;
  int top;
  int width;
  int height;
};

// Fields in the order the layout reads; twenty rows need no tighter packing.
struct ControlLayout {  // NOLINT(clang-analyzer-optin.performance.Padding)
  const char* name;
  ControlKind kind;
  const char* parent;  // the name of a group box, or null for the window
  Rect rect;           // in the parent's client area
  const char* caption;
  const char* spoken = nullptr;        // for screen readers, where the caption alone is ambiguous
  const char* const* items = nullptr;  // a radio group's items, null-terminated
  int itemIndex = -1;                  // the item chosen at the start
};

struct FormLayout {
  const char* name;
  const char* caption;
  Rect rect;  // the outer window, title bar and frame included
  const char* font;
  int fontPixels;
  const ControlLayout* controls;
  std::size_t count;
};

// The designed window's frame: a 4-pixel border and a 19-pixel title bar.
// What is inside it is the client area the controls are placed in.
inline constexpr int kDesignedFrame = 4;
inline constexpr int kDesignedTitle = 19;
inline int ClientWidth(const FormLayout& form) { return form.rect.width - 2 * kDesignedFrame; }
inline int ClientHeight(const FormLayout& form) {
  return form.rect.height - 2 * kDesignedFrame - kDesignedTitle;
}

// Where a radio group places item `index` of `count`: one below the other,
// spread evenly over the space under the group's title.
inline Rect RadioItemRect(const Rect& group, int index, int count) {
  constexpr int kTitle = 19;
  constexpr int kItemHeight = 17;
  const int step = (group.height - kTitle) / count;
  return {8, kTitle + 2 + step * index, group.width - 16, kItemHeight};
}
