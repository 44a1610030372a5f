// What the application object does with a thrown exception, the same on
// every platform.

#include "Toolkit.h"

void TApplication::ShowCurrentException() {
  try {
    throw;
  } catch (const Exception& exception) {
    ShowException(exception);
  } catch (...) {
    ShowException(Exception(std::string()));
  }
}

void TApplication::Guard(const std::function<void()>& steps) {
  try {
    steps();
  } catch (...) {
    ShowCurrentException();
  }
}
