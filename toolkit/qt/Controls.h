#pragma once

// The form toolkit's classes, carried by Qt Widgets (see Toolkit.h). Each
// class is a Qt widget under the toolkit's name and with its operations;
// everything else is Qt's own.

#include "Application.h"
#include "FormLayout.h"

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
#include <string>
#include <vector>

class QApplication;

using TObject = QObject;

class TForm;

class TButton;
class TRadioGroup;
class TGroupBox;
class TCheckBox;

class TForm : public QWidget {
  Q_OBJECT
 public:
  explicit TForm(TApplication* owner) : owner_(owner) {}
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
  void SetAccessibleName(const std::string& name) { setAccessibleName(QString::fromStdString(name)); }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  TApplication* owner_;
};

// What a control runs when clicked, told the control as its sender.
using TNotifyEvent = std::function<void(TObject* sender)>;

class TButton : public QPushButton {
  Q_OBJECT
 public:
  explicit TButton(QWidget* parent = nullptr);
  std::string GetText() const { return text().toStdString(); }
  void SetText(const std::string& caption) { setText(QString::fromStdString(caption)); }
  void OnClick(const TNotifyEvent& handler) { connect(this, &TButton::Click, this, handler); }

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
  void SetItemDescriber(std::function<std::string(int index)> describe);
  QString ItemDescription(int index) const;
  bool DescribesItems() const { return static_cast<bool>(describe_); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::function<std::string(int index)> describe_;
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
  void SetChecked(bool checked);
  void SetEnabled(bool enabled) { setEnabled(enabled); }
  void OnClick(const TNotifyEvent& handler) { connect(this, &TCheckBox::Click, this, handler); }

 signals:
  // Every change of the checked state, whether the user or the program made it.
  void Click(TObject* sender);

 private:
  bool writing_ = false;  // the change coming is the program's own (SetChecked)
};
