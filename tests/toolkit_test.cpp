#include "Support.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <stdexcept>

namespace {

// A form that checks, while it is being built, where the application has
// already published it.
struct ProbeForm : TForm {
  static ProbeForm* published;
  static bool sawItself;
  explicit ProbeForm(TApplication* owner) : TForm(owner) { sawItself = published == this; }
};
ProbeForm* ProbeForm::published = nullptr;
bool ProbeForm::sawItself = false;

enum Who : std::uint8_t { Program, User, Reader };

}  // namespace

class ToolkitTest : public QObject {
  Q_OBJECT

 private slots:
  // Who changes the box: the program (SetChecked), the mouse, or a screen reader's
  // Toggle (toggle(), as Qt's AT-SPI bridge does); whether inside another control's handler.
  void clickNotification_data() {
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("before");
    QTest::addColumn<Who>("who");
    QTest::addColumn<bool>("inHandler");
    QTest::addColumn<bool>("after");
    QTest::addColumn<int>("notifications");
    QTest::newRow("program checks an enabled box") << true << false << Program << false << true << 1;
    QTest::newRow("program unchecks an enabled box") << true << true << Program << false << false << 1;
    QTest::newRow("program checks a disabled box") << false << false << Program << false << true << 1;
    QTest::newRow("program unchecks a disabled box") << false << true << Program << false << false << 1;
    QTest::newRow("program writes the same state") << true << true << Program << false << true << 0;
    QTest::newRow("program writes the same state, disabled")
        << false << false << Program << false << false << 0;
    QTest::newRow("user clicks an enabled box") << true << false << User << false << true << 1;
    QTest::newRow("user clicks a disabled box") << false << false << User << false << false << 0;
    QTest::newRow("reader toggles an enabled box") << true << false << Reader << false << true << 1;
    // One send at a time: only the handler's own cascade goes on.
    QTest::newRow("reader toggles a box inside a handler") << true << false << Reader << true << false << 0;
    QTest::newRow("program writes a box inside a handler") << true << false << Program << true << true << 1;
  }

  void clickNotification() {
    QFETCH(bool, enabled);
    QFETCH(bool, before);
    QFETCH(Who, who);
    QFETCH(bool, inHandler);
    QFETCH(bool, after);
    QFETCH(int, notifications);

    QWidget window;
    auto* box = new TCheckBox(&window);
    box->setText(QStringLiteral("Probe"));
    box->SetChecked(before);
    box->SetEnabled(enabled);
    window.show();

    QList<bool> seen;  // the state the handler found, once per notification
    QObject::connect(box, &TCheckBox::Click, [&](TObject* sender) {
      QCOMPARE(sender, box);
      seen << box->Checked();
    });
    const auto change = [&] {
      if (who == User) QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, box->rect().center());
      if (who == Reader) box->toggle();
      if (who == Program) box->SetChecked(after);
    };
    auto* other = new TButton(&window);
    QObject::connect(other, &TButton::Click, change);
    inHandler ? other->click() : change();

    // Already run, and with the new state, when the write has returned.
    QCOMPARE(seen, QList<bool>(notifications, after));
    QCOMPARE(box->Checked(), after);
  }

  // A reader's toggle of a box inside the handler that the program's own
  // write of that very box runs is no write of the program's.
  void readerTogglesTheBoxWhoseWriteRuns() {
    TCheckBox box(nullptr);
    int runs = 0;
    QObject::connect(&box, &TCheckBox::Click, [&] {
      if (++runs == 1) box.toggle();
    });
    box.SetChecked(true);
    QCOMPARE(runs, 1);
    QVERIFY(box.Checked());
  }

  void createFormPublishesBeforeConstruction() {
    ProbeForm::sawItself = false;
    TheApplication->CreateForm(ProbeForm::published);
    QVERIFY(ProbeForm::published != nullptr);
    QVERIFY(ProbeForm::sawItself);
    delete ProbeForm::published;
    // The form's destroyed signal clears the reference, out of the analyzer's sight.
    QCOMPARE(ProbeForm::published, nullptr);  // NOLINT(clang-analyzer-cplusplus.NewDelete)
  }

  void guardShowsWhatIsThrown_data() {
    QTest::addColumn<int>("thrown");
    QTest::addColumn<QString>("shown");
    QTest::newRow("toolkit exception keeps its message") << 0 << QStringLiteral("Fenster fehlt");
    QTest::newRow("standard exception shows empty") << 1 << QString();
    QTest::newRow("plain int shows empty") << 2 << QString();
  }

  void guardShowsWhatIsThrown() {
    QFETCH(int, thrown);
    QFETCH(QString, shown);
    BoxLog log;
    // Guard must not let the throw through: a throw out of a test slot fails it.
    TheApplication->Guard([&] {
      if (thrown == 0) throw Exception("Fenster fehlt");
      if (thrown == 1) throw std::runtime_error("lost");
      throw 42;
    });
    QCOMPARE(log.boxes.size(), std::size_t{1});
    QCOMPARE(log.boxes[0].kind, BoxKind::Error);
    QCOMPARE(log.boxes[0].text, shown);
  }

  // What a handler throws is shown, and the message loop carries on.
  void exceptionInHandlerKeepsTheLoopGoing() {
    BoxLog log;
    QWidget window;
    auto* button = new TButton(&window);
    button->resize(80, 30);
    window.show();
    int clicks = 0;
    QObject::connect(button, &TButton::Click, [&] {
      ++clicks;
      throw Exception("Handler " + std::to_string(clicks));
    });
    QTest::mouseClick(button, Qt::LeftButton);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(clicks, 2);
    QCOMPARE(log.captions().size(), 2);
    QCOMPARE(log.boxes[1].text, QStringLiteral("Handler 2"));
  }

  // Anything else that escapes an event's dispatch is shown as well.
  void exceptionOutsideHandlersIsShown() {
    BoxLog log;
    QTimer::singleShot(0, [] { throw Exception("aus dem Zeitgeber"); });
    QTRY_COMPARE(log.boxes.size(), std::size_t{1});
    QCOMPARE(log.boxes[0].text, QStringLiteral("aus dem Zeitgeber"));
  }

  // The real boxes: application-modal, closed here as a person would. A
  // held Return does not close them; the echo box belongs to the main window,
  // the error box to none; each is wide enough for its title.
  void realModalBoxes_data() {
    QTest::addColumn<bool>("error");
    QTest::newRow("message box") << false;
    QTest::newRow("error box") << true;
  }

  void realModalBoxes() {
    QFETCH(bool, error);
    ProbeForm::published = nullptr;
    TheApplication->CreateForm(ProbeForm::published);
    std::unique_ptr<ProbeForm> mainWindow(ProbeForm::published);
    mainWindow->show();

    QString seenText;
    QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
    Qt::WindowModality seenModality = Qt::NonModal;
    QWidget* seenOwner = mainWindow.get();
    int seenWidth = 0;
    bool survivedHeldReturn = false;
    QTimer closer;
    closer.setInterval(20);
    QObject::connect(&closer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box || !box->isVisible()) return;
      seenText = box->text();
      seenIcon = box->icon();
      seenModality = box->windowModality();
      seenOwner = box->parentWidget();
      seenWidth = box->width();
      QWidget* focus = box->focusWidget() ? box->focusWidget() : box;
      // A held Return's repeat, flagged by Qt or, handled late, as a plain
      // release and press with one timestamp.
      QKeyEvent held(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"), true);
      QApplication::sendEvent(focus, &held);
      QKeyEvent lateRelease(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
      QKeyEvent latePress(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
      lateRelease.setTimestamp(700000);
      latePress.setTimestamp(700000);
      QApplication::sendEvent(focus, &lateRelease);
      QApplication::sendEvent(focus, &latePress);
      survivedHeldReturn = box->isVisible();
      box->button(QMessageBox::Ok)->click();
    });
    closer.start();
    // A box nobody closes must fail the test, not hang it.
    QTimer::singleShot(5000, [] {
      if (QWidget* stuck = QApplication::activeModalWidget()) stuck->close();
    });
    const QString caption = error ? QStringLiteral("WriteFile") : QGuiApplication::applicationDisplayName();
    if (error)
      ShowErrorBox(caption.toStdString(), "Input/output error");
    else
      ShowMessage("a1");
    closer.stop();

    QCOMPARE(seenText, error ? QStringLiteral("Input/output error") : QStringLiteral("a1"));
    QCOMPARE(seenIcon, error ? QMessageBox::Critical : QMessageBox::NoIcon);
    QCOMPARE(seenModality, Qt::ApplicationModal);
    QVERIFY(survivedHeldReturn);
    QCOMPARE(seenOwner, error ? nullptr : mainWindow.get());
    QFont bold = QApplication::font();
    bold.setBold(true);
    QVERIFY2(seenWidth > QFontMetrics(bold).horizontalAdvance(caption) + 100,
             qPrintable(QString::number(seenWidth)));
  }
};

LICHT_TEST_MAIN(ToolkitTest)
#include "toolkit_test.moc"
