#pragma once

// The form toolkit's classes, carried by Windows' own controls (see
// Toolkit.h). Each control is a child window of the form; windows.h stays
// in the implementation, so the panel sees no Windows type.

#include "Application.h"
#include "FormLayout.h"

#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

// What a control runs when clicked, told the control as its sender.
using TNotifyEvent = std::function<void(TObject* sender)>;

class TForm;

// A control: a child window of its form, which owns it.
class TControl : public TObject {
 public:
  void SetEnabled(bool enabled);
  bool Enabled() const;
  void* Handle() const { return window_; }

 protected:
  friend class TForm;
  void* window_ = nullptr;  // its HWND
};

class TButton : public TControl {
 public:
  std::string GetText() const;
  void SetText(const std::string& caption);
  void OnClick(TNotifyEvent handler) { onClick_ = std::move(handler); }
  // A click by the user (or a key press while focused) on the enabled button.
  void Click();

 private:
  TNotifyEvent onClick_;
};

class TRadioGroup : public TControl {
 public:
  // 0-based index of the chosen item, -1 when none is chosen.
  int ItemIndex() const;
  void SetItemIndex(int index);
  // The group and its items.
  void SetEnabled(bool enabled);
  // Says what an item stands for, in its tooltip; asked each time it shows.
  void SetItemDescriber(std::function<std::string(int index)> describe) { describe_ = std::move(describe); }
  std::string ItemDescription(int index) const;
  const std::vector<void*>& Items() const { return items_; }

 private:
  friend class TForm;
  std::vector<void*> items_;  // their HWNDs
  std::function<std::string(int index)> describe_;
};

class TGroupBox : public TControl {};

class TCheckBox : public TControl {
 public:
  bool Checked() const;
  // The click handler runs before this returns whenever the state changes,
  // on a disabled box as well; writing the state the box already has runs
  // nothing.
  void SetChecked(bool checked);
  void OnClick(TNotifyEvent handler) { onClick_ = std::move(handler); }

 private:
  TNotifyEvent onClick_;
};

class TForm : public TObject {
 public:
  explicit TForm(TApplication* owner);
  ~TForm() override;
  TApplication* Owner() const { return owner_; }

  // Builds the window and its controls from the stored layout.
  void Load(const FormLayout& layout);
  // The controls the layout made, by name; null for none of that kind.
  TButton* Button(const char* name) const;
  TRadioGroup* RadioGroup(const char* name) const;
  TGroupBox* GroupBox(const char* name) const;
  TCheckBox* CheckBox(const char* name) const;
  // What a screen reader calls the window; the caption stays as it is.
  void SetAccessibleName(const std::string& name);
  void* Handle() const { return window_; }

 private:
  // What the form keeps of Windows' own (Toolkit.cpp). The application
  // reaches it too: it registers the forms' window procedure and asks the
  // main form which control has the focus.
  friend class TApplication;
  struct Native;
  std::unique_ptr<Native> native_;

  template <class Control>
  Control* Find(const char* name) const;

  TApplication* owner_;
  void* window_ = nullptr;  // its HWND
};
