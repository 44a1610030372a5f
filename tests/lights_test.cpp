#include "Support.h"

#include "ComPort.h"
#include "Unit1.h"

namespace {

// The full state with everything off but the interior light.
const QStringList kAllOff{"a0", "c0", "b0", "e0f0j0", "e0", "f0", "e0f0", "k0", "l0", "g0", "h0", "i1", "d0"};

// A full send with some rows changed, e.g. Send({{3, "b1"}}) for the side light (rows count from 1).
QString Send(std::initializer_list<std::pair<int, const char*>> rows = {}) {
  QStringList commands = kAllOff;
  for (const auto& [row, command] : rows) commands[row - 1] = QString::fromLatin1(command);
  return FullSend(commands);
}

// Runs one step of a scenario: "Name" clicks a control as a user does,
// "Name=1" / "Name=0" is a program write, "unplug after N" pulls the cable
// once N boxes have been shown.
void Step(const QString& step, Board& board, BoxLog& log) {
  if (step.startsWith("unplug after ")) {
    const std::size_t boxes = step.mid(13).toUInt();
    log.onBox = [&board, &log, boxes](const Box&) {
      if (log.boxes.size() == boxes) board.unplug();
    };
  } else if (step.contains('=')) {
    Form1->findChild<TCheckBox*>(step.section('=', 0, 0))->SetChecked(step.endsWith("=1"));
  } else {
    ClickOn(step);
  }
}

}  // namespace

class LightsTest : public QObject {
  Q_OBJECT

 private slots:
  void scenarios_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("transcript");
    QTest::addColumn<QStringList>("watched");
    QTest::addColumn<QString>("states");

    QTest::newRow("side light on") << QStringList{"Standlicht"} << Send({{3, "b1"}})
                                   << QStringList{"Standlicht"} << "Standlicht=+e";
    QTest::newRow("side light off again")
        << QStringList{"Standlicht", "Standlicht"} << Send({{3, "b1"}}) + Send() << QStringList{} << "";
    QTest::newRow("hazard lights in one write") << QStringList{"Warnblinklicht", "Standlicht"}
                                                << Send({{3, "b1"}, {7, "e0f0e1f1"}}) << QStringList{} << "";
    QTest::newRow("left indicator before the hazard row")
        << QStringList{"Links", "Standlicht"} << Send({{3, "b1"}, {5, "e1"}}) << QStringList{} << "";
    QTest::newRow("every light on")
        << QStringList{"Abblendlicht", "Fernlicht",      "Parklicht",         "Links",
                       "Rechts",       "Warnblinklicht", "Abblendlicht_auto", "Fernlicht_auto",
                       "Rueckwaerts",  "Innenraum",      "Standlicht"}
        << Send({{1, "a1"}}) + Send({{1, "a1"},
                                     {2, "c1"},
                                     {3, "b1"},
                                     {4, "e0f0j1"},
                                     {5, "e1"},
                                     {6, "f1"},
                                     {7, "e0f0e1f1"},
                                     {8, "k1"},
                                     {9, "l1"},
                                     {12, "i0"},
                                     {13, "d1"}})
        << QStringList{} << "";
    QTest::newRow("low beam replaces the side light")
        << QStringList{"Standlicht", "Abblendlicht"}
        << Send({{3, "b1"}}) + Send({{1, "a1"}}) + Send({{1, "a1"}})
        << QStringList{"Standlicht", "Fernlicht", "Abblendlicht"}
        << "Standlicht=-e Fernlicht=-e Abblendlicht=+e";
    QTest::newRow("high beam only with the low beam")
        << QStringList{"Fernlicht", "Abblendlicht", "Fernlicht", "Abblendlicht", "Fernlicht"}
        << Send({{1, "a1"}}) + Send() << QStringList{"Fernlicht", "Abblendlicht"}
        << "Fernlicht=-d Abblendlicht=-e";
    QTest::newRow("boxes without a handler send nothing")
        << QStringList{"Links",
                       "Rechts",
                       "Parklicht",
                       "Warnblinklicht",
                       "Abblendlicht_auto",
                       "Fernlicht_auto",
                       "Innenraum",
                       "Rueckwaerts",
                       "Nebelscheinwerfer",
                       "Nebelschlussleuchte"}
        << QString() << QStringList{"Nebelscheinwerfer", "Nebelschlussleuchte"}
        << "Nebelscheinwerfer=-d Nebelschlussleuchte=-d";
    QTest::newRow("disconnect with the side light on")
        << QStringList{"Standlicht", "Innenraum", "Links", "comportbut"}
        << Send({{3, "b1"}}) + Send({{5, "e1"}, {12, "i0"}}) << QStringList{"Innenraum"} << "Innenraum=+d";
    QTest::newRow("disconnect with low beam and side light")
        << QStringList{"Abblendlicht", "Standlicht", "comportbut"}
        << Send({{1, "a1"}}) + Send({{1, "a1"}, {3, "b1"}}) + Send({{3, "b1"}}) + Send() << QStringList{}
        << "";
    QTest::newRow("disconnect with the low beam on")
        << QStringList{"Abblendlicht", "comportbut"} << Send({{1, "a1"}}) + Send() << QStringList{} << "";
    QTest::newRow("disconnect with nothing on")
        << QStringList{"comportbut"} << QString() << QStringList{} << "";
    QTest::newRow("reconnect sends nothing") << QStringList{"Links", "comportbut", "comportbut"} << QString()
                                             << QStringList{"Links", "Innenraum"} << "Links=-e Innenraum=+e";

    // The cable is pulled while the fifth echo box is open: that row and all
    // after it still get their box, and each write reports the error.
    QString unplugged = FullSend(kAllOff.mid(0, 4)).replace("b0", "b1");
    for (const QString& command : kAllOff.mid(4))
      unplugged += QStringLiteral("[%1][WriteFile|%2]").arg(command, SysError(EIO));
    QTest::newRow("unplugged in the middle of a send")
        << QStringList{"unplug after 5", "Standlicht"} << unplugged << QStringList{} << "";
  }

  void scenarios() {
    QFETCH(QStringList, steps);
    QFETCH(QString, transcript);
    QFETCH(QStringList, watched);
    QFETCH(QString, states);

    WiredBoard board;
    BoxLog log(&board);
    ClickOn(QStringLiteral("comportbut"));
    QCOMPARE(Form1->comportbut->text(), QStringLiteral("trennen"));
    for (const QString& step : steps) Step(step, board, log);

    QCOMPARE(log.transcript(), transcript);
    QCOMPARE(BoxStates(watched), states);
  }
};

LICHT_TEST_MAIN(LightsTest)
#include "lights_test.moc"
