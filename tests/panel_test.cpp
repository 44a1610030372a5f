#include "Support.h"

#include "ComPort.h"
#include "LightTable.h"
#include "Protocol.h"
#include "Unit1.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QtMath>

namespace {

const QStringList kBoxes{"Abblendlicht",   "Fernlicht",         "Standlicht",          "Links",
                         "Rechts",         "Parklicht",         "Warnblinklicht",      "Abblendlicht_auto",
                         "Fernlicht_auto", "Nebelscheinwerfer", "Nebelschlussleuchte", "Innenraum",
                         "Rueckwaerts"};

// Everything on but the interior light, as far as a program write can go.
void SwitchEverythingOn() {
  BoxLog quiet;  // the low beam and side light send (to no port) on the way
  for (const QString& name : kBoxes) {
    auto* box = Form1->findChild<TCheckBox*>(name);
    box->SetEnabled(true);
    box->SetChecked(name != QLatin1String("Innenraum"));
  }
}

// What the panel's light table sends for `box` checked or not; empty for a
// box the table lacks.
QString TableCommand(BoxMember box, bool checked) {
  for (const LightRow& row : kLightTable) {
    const CommandText& command = checked ? row.on : row.off;
    if (row.box == box) return QString::fromLatin1(command.text, static_cast<int>(command.length));
  }
  return {};
}

}  // namespace

class PanelTest : public QObject {
  Q_OBJECT

 private slots:
  void startsDisconnected() {
    ScopedForm form;
    QCOMPARE(Form1->windowTitle(), QStringLiteral("window"));
    QCOMPARE(Form1->comportbut->text(), QStringLiteral("verbinden"));
    QCOMPARE(Form1->comports->ItemIndex(), 0);
    QVERIFY(Form1->comports->isEnabled());
    QCOMPARE(BoxStates(kBoxes),
             QStringLiteral("Abblendlicht=-d Fernlicht=-d Standlicht=-d Links=-d Rechts=-d "
                            "Parklicht=-d Warnblinklicht=-d Abblendlicht_auto=-d Fernlicht_auto=-d "
                            "Nebelscheinwerfer=-d Nebelschlussleuchte=-d Innenraum=+d Rueckwaerts=-d"));
  }

  void greyedBoxesIgnoreClicks() {
    ScopedForm form;
    BoxLog log;
    for (const QString& name : kBoxes) ClickOn(name);
    QCOMPARE(log.boxes.size(), std::size_t{0});
    QVERIFY(BoxStates(kBoxes).count(QLatin1Char('+')) == 1);
  }

  // Which boxes notify, in which order, and whether each was already
  // (dis)abled when it did: the enabled flag must come before the state.
  void stateTables_data() {
    QTest::addColumn<bool>("connect");
    QTest::addColumn<bool>("fromEverythingOn");
    QTest::addColumn<QString>("notified");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("portChoice");
    QTest::addColumn<QString>("boxes");
    const QString connected = QStringLiteral(
        "Abblendlicht=-e Fernlicht=-d Standlicht=-e Links=-e Rechts=-e Parklicht=-e "
        "Warnblinklicht=-e Abblendlicht_auto=-e Fernlicht_auto=-e Nebelscheinwerfer=-d "
        "Nebelschlussleuchte=-d Innenraum=+e Rueckwaerts=-e");
    const QString disconnected = QStringLiteral(
        "Abblendlicht=-d Fernlicht=-d Standlicht=-d Links=-d Rechts=-d Parklicht=-d "
        "Warnblinklicht=-d Abblendlicht_auto=-d Fernlicht_auto=-d Nebelscheinwerfer=-d "
        "Nebelschlussleuchte=-d Innenraum=+d Rueckwaerts=-d");
    // The high beam notifies first: the low beam's handler clears it before
    // the low beam's own notification reaches the recorder.
    QTest::newRow("connect from start") << true << false << ""
                                        << "trennen" << false << connected;
    QTest::newRow("connect from everything on")
        << true << true
        << "Fernlicht:e Abblendlicht:e Standlicht:e Links:e Rechts:e Parklicht:e Warnblinklicht:e "
           "Abblendlicht_auto:e Fernlicht_auto:e Nebelscheinwerfer:d Nebelschlussleuchte:d Innenraum:e "
           "Rueckwaerts:e"
        << "trennen" << false << connected;
    QTest::newRow("disconnect from start") << false << false << ""
                                           << "verbinden" << true << disconnected;
    QTest::newRow("disconnect from everything on")
        << false << true
        << "Fernlicht:e Abblendlicht:d Standlicht:d Links:d Rechts:d Parklicht:d Warnblinklicht:d "
           "Abblendlicht_auto:d Fernlicht_auto:d Nebelscheinwerfer:d Nebelschlussleuchte:d Innenraum:d "
           "Rueckwaerts:d"
        << "verbinden" << true << disconnected;
  }

  void stateTables() {
    QFETCH(bool, connect);
    QFETCH(bool, fromEverythingOn);
    QFETCH(QString, notified);
    QFETCH(QString, caption);
    QFETCH(bool, portChoice);
    QFETCH(QString, boxes);

    ScopedForm form;
    if (connect) Form1->comports->SetEnabled(true);
    if (fromEverythingOn) SwitchEverythingOn();
    QStringList seen;
    for (const QString& name : kBoxes) {
      auto* box = Form1->findChild<TCheckBox*>(name);
      QObject::connect(box, &TCheckBox::Click,
                       [&seen, box] { seen << box->objectName() + (box->isEnabled() ? ":e" : ":d"); });
    }
    BoxLog log;
    if (connect)
      Form1->EnterConnectedState();
    else
      Form1->EnterDisconnectedState();

    QCOMPARE(seen.join(QLatin1Char(' ')), notified);
    QCOMPARE(Form1->comportbut->text(), caption);
    QCOMPARE(Form1->comports->isEnabled(), portChoice);
    QCOMPARE(BoxStates(kBoxes), boxes);
    if (!fromEverythingOn) QCOMPARE(log.boxes.size(), std::size_t{0});
    PortHandle = -1;
  }

  void layout_data() {
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");
    QTest::newRow("comportbut") << "TForm1" << QRect(160, 208, 209, 33) << "verbinden";
    QTest::newRow("comports") << "TForm1" << QRect(280, 8, 89, 193) << "ComPort";
    QTest::newRow("Allgemein") << "TForm1" << QRect(8, 8, 137, 89) << "Allgemein";
    QTest::newRow("Standlicht") << "Allgemein" << QRect(8, 16, 81, 17) << "Standlicht";
    QTest::newRow("Abblendlicht") << "Allgemein" << QRect(8, 40, 81, 17) << "Abblendlicht";
    QTest::newRow("Fernlicht") << "Allgemein" << QRect(8, 64, 81, 17) << "Fernlicht";
    QTest::newRow("Sonderfunktionen") << "TForm1" << QRect(8, 104, 137, 65) << "Sonderfunktionen";
    QTest::newRow("Rueckwaerts") << "Sonderfunktionen" << QRect(8, 16, 97, 17) << "Rueckwaerts";
    QTest::newRow("Innenraum") << "Sonderfunktionen" << QRect(8, 40, 97, 17) << "Innenraum";
    QTest::newRow("Nebel") << "TForm1" << QRect(8, 176, 137, 65) << "Nebel";
    QTest::newRow("Nebelschlussleuchte") << "Nebel" << QRect(8, 16, 121, 17) << "Nebelschlussleuchte";
    QTest::newRow("Nebelscheinwerfer") << "Nebel" << QRect(8, 40, 121, 17) << "Nebelscheinwerfer";
    QTest::newRow("Blinker") << "TForm1" << QRect(160, 8, 105, 121) << "Blinker";
    QTest::newRow("Links") << "Blinker" << QRect(8, 16, 73, 17) << "Links";
    QTest::newRow("Rechts") << "Blinker" << QRect(8, 40, 81, 17) << "Rechts";
    QTest::newRow("Parklicht") << "Blinker" << QRect(8, 88, 81, 17) << "Parklicht";
    QTest::newRow("Warnblinklicht") << "Blinker" << QRect(8, 64, 89, 17) << "Warnblinklicht";
    QTest::newRow("Lichtautomatik") << "TForm1" << QRect(160, 136, 105, 65) << "Lichtautomatik";
    QTest::newRow("Abblendlicht_auto") << "Lichtautomatik" << QRect(8, 16, 89, 17) << "Abblendlicht";
    QTest::newRow("Fernlicht_auto") << "Lichtautomatik" << QRect(8, 40, 81, 17) << "Fernlicht";
  }

  // Each control where it was drawn, and its caption fits it at that size.
  void layout() {
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    ScopedForm form;
    auto* control = Form1->findChild<QWidget*>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(control);
    QCOMPARE(control->parentWidget()->objectName(), parent);
    QCOMPARE(control->geometry(), geometry);
    QCOMPARE(control->fontInfo().pixelSize(), 11);
    if (auto* group = qobject_cast<QGroupBox*>(control)) {
      QCOMPARE(group->title(), caption);
      // The title sits on the frame line between two short frame stubs.
      const int title = group->fontMetrics().horizontalAdvance(caption);
      QVERIFY2(title + 2 * 8 <= group->width(), qPrintable(QString::number(title)));
      for (QWidget* child : group->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        QVERIFY2(child->geometry().top() > group->fontMetrics().height() / 2 + 1,
                 qPrintable(child->objectName() + " crosses the title"));
        QVERIFY2(group->contentsRect().contains(child->geometry()) ||
                     QRect(QPoint(2, 2), group->size() - QSize(4, 4)).contains(child->geometry()),
                 qPrintable(child->objectName() + " crosses the frame"));
      }
    } else {
      auto* button = qobject_cast<QAbstractButton*>(control);
      QCOMPARE(button->text(), caption);
      QVERIFY2(button->sizeHint().width() <= button->width(),
               qPrintable(QStringLiteral("needs %1 px").arg(button->sizeHint().width())));
    }
  }

  void portItemsFit() {
    ScopedForm form;
    const QList<QRadioButton*> items = Form1->comports->Items();
    QCOMPARE(items.size(), 6);
    for (int i = 0; i < items.size(); ++i) {
      QCOMPARE(items[i]->text(), QStringLiteral("Com%1").arg(i + 1));
      QVERIFY(items[i]->sizeHint().width() <= items[i]->width());
      QVERIFY(Form1->comports->contentsRect().contains(items[i]->geometry()));
    }
  }

  // Drawn on screen, no check box or port caption reaches its control's
  // right edge: the last three columns hold no ink. (Push buttons clip their
  // caption inside their frame; the size-hint check above covers them.) Runs
  // at every scale the suite is started with (QT_SCALE_FACTOR).
  void captionsNotClipped() {
    ScopedForm form;
    QVERIFY(QTest::qWaitForWindowExposed(Form1));
    for (QAbstractButton* control : Form1->findChildren<QAbstractButton*>()) {
      if (qobject_cast<QPushButton*>(control)) continue;
      control->setEnabled(true);  // dark text; the background is light grey
      control->clearFocus();      // the focus frame is not a caption
      const QImage image = control->grab().toImage();
      const int edge = qCeil(3 * image.devicePixelRatio());  // a cut glyph's last stroke
      int ink = 0;
      for (int x = image.width() - edge; x < image.width(); ++x)
        for (int y = 0; y < image.height(); ++y) ink += qGray(image.pixel(x, y)) < 200;
      QVERIFY2(ink == 0, qPrintable(QStringLiteral("%1: %2 dark pixels at its right edge at scale %3")
                                        .arg(control->objectName())
                                        .arg(ink)
                                        .arg(image.devicePixelRatio())));
    }
  }

  void accessibleNames() {
    ScopedForm form;
    QStringList names;
    for (QWidget* control : Form1->findChildren<QWidget*>()) {
      QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
      QVERIFY(accessible);
      const QString name = accessible->text(QAccessible::Name);
      QVERIFY2(!name.isEmpty(), qPrintable(control->objectName()));
      QVERIFY2(!names.contains(name), qPrintable(name + " is not unique"));
      names << name;
    }
    QCOMPARE(names.size(), 26);  // 20 controls and the six ports
    QCOMPARE(QAccessible::queryAccessibleInterface(Form1)->text(QAccessible::Name),
             QStringLiteral("Lichtsteuerung"));
  }

  // A port's description says where it leads at the moment it is read, as
  // its tooltip does; it is a radio button all the same.
  void portDescriptionsAreCurrent() {
    ScopedForm form;
    QAccessibleInterface* com6 = QAccessible::queryAccessibleInterface(Form1->comports->Items().at(5));
    QCOMPARE(com6->role(), QAccessible::RadioButton);
    QCOMPARE(com6->text(QAccessible::Name), QStringLiteral("Com6"));
    QVERIFY(!com6->state().checked);
    {
      ScopedEnv map("LICHTSTEUERUNG_COM6", "/dev/ttyUSB7");
      QCOMPARE(com6->text(QAccessible::Description), QStringLiteral("/dev/ttyUSB7"));
    }
    ScopedEnv map("LICHTSTEUERUNG_COM6", "");
    QCOMPARE(com6->text(QAccessible::Description),
             QStringLiteral("Com6 (LICHTSTEUERUNG_COM6 ist gesetzt, aber leer)"));
    com6->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    QCOMPARE(Form1->comports->ItemIndex(), 5);
    QVERIFY(com6->state().checked);
  }

  // An echo box tells a screen reader what its command does, as the
  // protocol reads it (channel and state of each command; empty for a text
  // that is not wholly commands). Every command of the panel's light table
  // is a row: a table that the protocol reads otherwise fails here.
  void echoBoxDescriptions_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("commands");
    QTest::addColumn<QString>("description");
    QTest::newRow("low beam off") << "a0"
                                  << "a off"
                                  << "Abblendlicht aus";
    QTest::newRow("interior light on") << "i1"
                                       << "i on"
                                       << "Innenraumlicht an";
    QTest::newRow("parking light off") << "e0f0j0"
                                       << "e off, f off, j off"
                                       << "Blinker links aus, Blinker rechts aus, Parklicht aus";
    QTest::newRow("hazard lights on")
        << "e0f0e1f1"
        << "e off, f off, e on, f on"
        << "Blinker links aus, Blinker rechts aus, Blinker links an, Blinker rechts an";
    QTest::newRow("not a command") << "Der gewählte ComPort konnte nicht geöffnet werden."
                                   << ""
                                   << "";
    QTest::newRow("half a command") << "a"
                                    << ""
                                    << "";
    const struct {
      const char* name;
      BoxMember box;
      bool checked;
      const char* commands;
      const char* description;
    } table[] = {
        {"Abblendlicht on", &TForm1::Abblendlicht, true, "a on", "Abblendlicht an"},
        {"Abblendlicht off", &TForm1::Abblendlicht, false, "a off", "Abblendlicht aus"},
        {"Fernlicht on", &TForm1::Fernlicht, true, "c on", "Fernlicht an"},
        {"Fernlicht off", &TForm1::Fernlicht, false, "c off", "Fernlicht aus"},
        {"Standlicht on", &TForm1::Standlicht, true, "b on", "Standlicht an"},
        {"Standlicht off", &TForm1::Standlicht, false, "b off", "Standlicht aus"},
        {"Parklicht on", &TForm1::Parklicht, true, "e off, f off, j on",
         "Blinker links aus, Blinker rechts aus, Parklicht an"},
        {"Parklicht off", &TForm1::Parklicht, false, "e off, f off, j off",
         "Blinker links aus, Blinker rechts aus, Parklicht aus"},
        {"Links on", &TForm1::Links, true, "e on", "Blinker links an"},
        {"Links off", &TForm1::Links, false, "e off", "Blinker links aus"},
        {"Rechts on", &TForm1::Rechts, true, "f on", "Blinker rechts an"},
        {"Rechts off", &TForm1::Rechts, false, "f off", "Blinker rechts aus"},
        {"Warnblinklicht on", &TForm1::Warnblinklicht, true, "e off, f off, e on, f on",
         "Blinker links aus, Blinker rechts aus, Blinker links an, Blinker rechts an"},
        {"Warnblinklicht off", &TForm1::Warnblinklicht, false, "e off, f off",
         "Blinker links aus, Blinker rechts aus"},
        {"Abblendlicht_auto on", &TForm1::Abblendlicht_auto, true, "k on", "Abblendautomatik an"},
        {"Abblendlicht_auto off", &TForm1::Abblendlicht_auto, false, "k off", "Abblendautomatik aus"},
        {"Fernlicht_auto on", &TForm1::Fernlicht_auto, true, "l on", "Fernlichtautomatik an"},
        {"Fernlicht_auto off", &TForm1::Fernlicht_auto, false, "l off", "Fernlichtautomatik aus"},
        {"Nebelscheinwerfer on", &TForm1::Nebelscheinwerfer, true, "g on", "Nebelscheinwerfer an"},
        {"Nebelscheinwerfer off", &TForm1::Nebelscheinwerfer, false, "g off", "Nebelscheinwerfer aus"},
        {"Nebelschlussleuchte on", &TForm1::Nebelschlussleuchte, true, "h on", "Nebelschlussleuchte an"},
        {"Nebelschlussleuchte off", &TForm1::Nebelschlussleuchte, false, "h off", "Nebelschlussleuchte aus"},
        {"Innenraum on", &TForm1::Innenraum, true, "i on", "Innenraumlicht an"},
        {"Innenraum off", &TForm1::Innenraum, false, "i off", "Innenraumlicht aus"},
        {"Rueckwaerts on", &TForm1::Rueckwaerts, true, "d on", "Rückfahrlicht an"},
        {"Rueckwaerts off", &TForm1::Rueckwaerts, false, "d off", "Rückfahrlicht aus"},
    };
    static_assert(std::size(table) == 2 * std::size(kLightTable), "a row for each command of the table");
    for (const auto& row : table)
      QTest::newRow(row.name) << TableCommand(row.box, row.checked) << row.commands
                              << QString::fromUtf8(row.description);
  }

  void echoBoxDescriptions() {
    QFETCH(QString, text);
    QFETCH(QString, commands);
    QFETCH(QString, description);
    QStringList read;
    for (const LightCommand& command :
         ParseCommands(text.toStdString()).value_or(std::vector<LightCommand>{}))
      read << QStringLiteral("%1 %2")
                  .arg(QChar(command.channel))
                  .arg(QLatin1String(command.on ? "on" : "off"));
    QCOMPARE(read.join(QLatin1String(", ")), commands);
    ScopedForm form;
    BoxLog log;
    ShowMessage(text.toStdString());
    QCOMPARE(log.boxes.size(), std::size_t{1});
    QCOMPARE(log.boxes[0].text, text);
    QCOMPARE(log.boxes[0].description, description);
  }

  void keyboard() {
    WiredBoard board;
    Form1->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(Form1));
    BoxLog log;

    // Enter on the focused button connects.
    Form1->comportbut->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(Form1->comportbut->text(), QStringLiteral("trennen"));

    // Tab walks the enabled controls in the layout's order, and round.
    QStringList walked;
    for (int step = 0; step < 11; ++step) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      walked << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(walked, QStringList({"Standlicht", "Abblendlicht", "Rueckwaerts", "Innenraum", "Links", "Rechts",
                                  "Parklicht", "Warnblinklicht", "Abblendlicht_auto", "Fernlicht_auto",
                                  "comportbut"}));

    // Space toggles the focused box and runs its handler like a click.
    Form1->Standlicht->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QVERIFY(Form1->Standlicht->Checked());
    QCOMPARE(log.boxes.size(), std::size_t{13});
  }

  // A key held down acts once. The keyboard's auto-repeat sends a stream of
  // presses, each after a release with the press's timestamp; Qt flags them
  // as auto-repeat when it handles them in time ("flagged"), a late client
  // gets them as plain events ("late"). A real second press has a time of
  // its own and acts again.
  void heldKeysActOnce_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("events");  // flagged, late, or twice (two real presses)
    QTest::addColumn<int>("clicks");
    const std::pair<const char*, int> targets[] = {
        {"comportbut", Qt::Key_Return}, {"comportbut", Qt::Key_Space}, {"Standlicht", Qt::Key_Space}};
    for (const auto& [control, key] : targets) {
      const QString name = QStringLiteral("%1 on %2").arg(key == Qt::Key_Space ? "Space" : "Enter", control);
      QTest::newRow(qPrintable(name + ", flagged")) << control << key << "flagged" << 1;
      QTest::newRow(qPrintable(name + ", late")) << control << key << "late" << 1;
      QTest::newRow(qPrintable(name + ", pressed twice")) << control << key << "twice" << 2;
    }
  }

  void heldKeysActOnce() {
    QFETCH(QString, control);
    QFETCH(int, key);
    QFETCH(QString, events);
    QFETCH(int, clicks);
    WiredBoard board;
    Form1->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(Form1));
    BoxLog log;
    if (control != "comportbut") Form1->comportbut->click();  // connected, so the box takes clicks
    auto* target = Form1->findChild<QAbstractButton*>(control);
    target->setFocus();
    int seen = 0;
    if (auto* button = qobject_cast<TButton*>(target))
      QObject::connect(button, &TButton::Click, [&] { ++seen; });
    if (auto* box = qobject_cast<TCheckBox*>(target))
      QObject::connect(box, &TCheckBox::Click, [&] { ++seen; });
    const auto send = [&](QEvent::Type type, quint64 time, bool flagged) {
      QKeyEvent event(type, key, Qt::NoModifier,
                      key == Qt::Key_Space ? QStringLiteral(" ") : QStringLiteral("\r"), flagged);
      event.setTimestamp(time);
      QApplication::sendEvent(target, &event);
    };
    // About 1.5 s of a held key: a first press, then a repeat every 33 ms
    // after half a second, as X servers repeat by default.
    quint64 time = 100000;
    send(QEvent::KeyPress, time, false);
    for (int repeat = 0; repeat < 30; ++repeat) {
      time += repeat == 0 ? 500 : 33;
      if (events == "twice" && repeat == 0) {
        send(QEvent::KeyRelease, time, false);
        send(QEvent::KeyPress, time + 120, false);  // a person's second press
        time += 120;
        continue;
      }
      if (events == "twice") continue;
      send(QEvent::KeyRelease, time, events == "flagged");
      send(QEvent::KeyPress, time, events == "flagged");
    }
    send(QEvent::KeyRelease, time + 40, false);
    QCOMPARE(seen, clicks);
  }

  void tabOrder() {
    ScopedForm form;
    const QStringList expected{
        "comportbut",  "Com1",      "Standlicht",          "Abblendlicht",      "Fernlicht",
        "Rueckwaerts", "Innenraum", "Nebelschlussleuchte", "Nebelscheinwerfer", "Links",
        "Rechts",      "Parklicht", "Warnblinklicht",      "Abblendlicht_auto", "Fernlicht_auto"};
    QStringList chain;
    QWidget* widget = Form1->comportbut;
    do {
      if (expected.contains(widget->objectName())) chain << widget->objectName();
      widget = widget->nextInFocusChain();
    } while (widget != Form1->comportbut);
    QCOMPARE(chain, expected);
  }
};

LICHT_TEST_MAIN(PanelTest)
#include "panel_test.moc"
