#pragma once

// The form toolkit the window is written against, carried by Qt Widgets.
// Each class is a Qt widget under the name and with the few operations the
// window relies on; everything else is Qt's own.

#include <QCheckBox>
#include <QGroupBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QString>
#include <QWidget>

#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <vector>

class QApplication;

using TObject = QObject;

// The toolkit's exception class: anything else that is thrown is shown as an
// Exception with an empty message.
class Exception : public std::exception {
 public:
  explicit Exception(QString message) : message_(std::move(message)), utf8_(message_.toUtf8()) {}
  const QString& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return utf8_.constData(); }

 private:
  QString message_;
  QByteArray utf8_;
};

class TForm;

class TApplication {
 public:
  // Qt keeps references to both arguments for the application's lifetime.
  TApplication(int& argc, char** argv);
  ~TApplication();
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;

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
  void Adopt(TForm* form);
  void DestroyForms();

  int& argc_;
  char** argv_;
  std::unique_ptr<QApplication> app_;
  std::vector<QPointer<TForm>> forms_;
};

// The one application object, as long as it exists.
extern TApplication* Application;

class TForm : public QWidget {
  Q_OBJECT
 public:
  explicit TForm(TApplication* owner) : owner_(owner) {}
  TApplication* Owner() const { return owner_; }

 private:
  TApplication* owner_;
};

class TButton : public QPushButton {
  Q_OBJECT
 public:
  explicit TButton(QWidget* parent = nullptr);
  QString GetText() const { return text(); }
  void SetText(const QString& caption) { setText(caption); }

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 signals:
  // A click by the user (or a key press while focused) on the enabled button.
  void Click(TObject* sender);
};

class TRadioGroup : public QGroupBox {
  Q_OBJECT
 public:
  using QGroupBox::QGroupBox;
  // The radio buttons directly inside the group, in the order they were created.
  QList<QRadioButton*> Items() const;
  // 0-based index of the chosen item, -1 when none is chosen.
  int ItemIndex() const;
  void SetItemIndex(int index);
  void SetEnabled(bool enabled) { setEnabled(enabled); }

  // Says what an item stands for: its tooltip, and its description for
  // screen readers. Asked afresh each time either is read, since what an
  // item stands for may change while the window is open.
  void SetItemDescriber(std::function<QString(int index)> describe);
  QString ItemDescription(int index) const;
  bool DescribesItems() const { return static_cast<bool>(describe_); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::function<QString(int index)> describe_;
};

class TGroupBox : public QGroupBox {
  Q_OBJECT
 public:
  using QGroupBox::QGroupBox;
};

class TCheckBox : public QCheckBox {
  Q_OBJECT
 public:
  explicit TCheckBox(QWidget* parent = nullptr);
  bool Checked() const { return isChecked(); }
  // Click runs before this returns whenever the state changes, on a disabled
  // box as well; writing the state the box already has runs nothing.
  void SetChecked(bool checked) { setChecked(checked); }
  void SetEnabled(bool enabled) { setEnabled(enabled); }

 signals:
  // Every change of the checked state, whether the user or the program made it.
  void Click(TObject* sender);
};

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
  QObject::connect(reference, &QObject::destroyed, [&reference, form = reference] {
    if (reference == form) reference = nullptr;
  });
  Adopt(reference);
}
