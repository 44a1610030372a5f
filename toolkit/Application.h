#pragma once

// The application object, the same on every platform; what each keeps of
// its own is its Native part.

#include "Exception.h"

#include <functional>
#include <memory>
#include <new>

class TForm;

class TApplication {
 public:
  // A platform may keep references to both arguments for the application's
  // lifetime (Qt does).
  TApplication(int& argc, char** argv);
  ~TApplication();
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;

  // Names the program: `name` for its boxes' titles, `desktopId` for the
  // desktop to match its windows to its launcher entry and icon (on
  // Windows, the taskbar's AppUserModelID).
  static void SetName(const char* name, const char* desktopId);

  // Makes the application ready to create windows.
  void Initialize();

  // Creates a window of class Form with this application as its owner. The
  // window is stored in `reference` before the Form constructor runs, so the
  // constructor may already reach the window through it. The first window so
  // created becomes the main window.
  template <class Form>
  void CreateForm(Form*& reference);

  // Shows the main window and runs the message loop until it is closed;
  // then the windows are destroyed.
  void Run();

  // Shows the exception's message to the user.
  void ShowException(const Exception& exception);

  // Runs `steps`; whatever they throw is shown through ShowException.
  void Guard(const std::function<void()>& steps);

  // Shows the exception in flight; for use inside a catch block only.
  void ShowCurrentException();

  // The main window (the first form created that still exists), or null.
  TForm* MainForm() const;

 private:
  // Takes `form` as a window of this application; `forget` clears the
  // reference that CreateForm filled, once the window is gone.
  void Adopt(TForm* form, std::function<void()> forget);
  void DestroyForms();

  struct Native;  // what the platform keeps
  std::unique_ptr<Native> native_;
};

// The one application object, as long as it exists.
extern TApplication* Application;

template <class Form>
void TApplication::CreateForm(Form*& reference) {
  // The window's address is published before it is constructed, as the form
  // constructor relies on it.
  void* storage = ::operator new(sizeof(Form));
  reference = static_cast<Form*>(storage);
  try {
    new (storage) Form(this);
  } catch (...) {
    reference = nullptr;
    ::operator delete(storage);
    throw;
  }
  Adopt(reference, [&reference, form = reference] {
    if (reference == form) reference = nullptr;
  });
}
