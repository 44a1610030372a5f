#include "LightDecoder.h"

#include <QtTest>

class DecoderTest : public QObject {
  Q_OBJECT

 private slots:
  // What a byte stream leaves lit, and which bytes are reported.
  void streams_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QString>("lit");
    QTest::addColumn<int>("errors");
    QTest::newRow("full send, side light") << QByteArray("a0c0b1e0f0j0e0f0e0f0k0l0g0h0i1d0") << "bi" << 0;
    QTest::newRow("hazard lights") << QByteArray("e0f0e1f1") << "ef" << 0;
    QTest::newRow("parking clears indicators") << QByteArray("e1f1e0f0j1") << "j" << 0;
    QTest::newRow("line end between commands") << QByteArray("a1\r\nb1") << "ab" << 2;
    QTest::newRow("letter beyond l") << QByteArray("m1a1") << "a" << 2;
    QTest::newRow("bad digit resyncs on a letter") << QByteArray("ab1") << "b" << 1;
    QTest::newRow("bad digit") << QByteArray("a2c1") << "c" << 1;
    QTest::newRow("NUL and high bytes") << QByteArray(
                                               "\0\xff"
                                               "d1",
                                               4)
                                        << "d" << 2;
    QTest::newRow("upper case is not a channel") << QByteArray("A1") << "" << 2;
  }

  void streams() {
    QFETCH(QByteArray, stream);
    QFETCH(QString, lit);
    QFETCH(int, errors);
    // A serial line hands the board its bytes in reads of any size: the
    // outcome may not depend on where the reads split the stream. Split 0
    // is the whole stream in one read, and the last one byte by byte.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(stream.constData());
    const auto size = static_cast<std::size_t>(stream.size());
    QStringList first;
    for (std::size_t split = 0; split <= size; ++split) {
      LightDecoder decoder;
      QStringList events;
      const auto feed = [&](std::size_t from, std::size_t to) {
        for (const auto& event : decoder.Feed(bytes + from, to - from))
          events << QString::fromStdString(event.text);
      };
      if (split == size) {
        for (std::size_t i = 0; i < size; ++i) feed(i, i + 1);
      } else {
        feed(0, split);
        feed(split, size);
      }
      QString on;
      for (char channel = 'a'; channel <= 'l'; ++channel)
        if (decoder.IsOn(channel)) on += QChar(channel);
      QCOMPARE(on, lit);
      QCOMPARE(events.filter(QStringLiteral("Protokollfehler")).size(), errors);
      if (split == 0) first = events;
      QCOMPARE(events, first);
    }
  }
};

QTEST_GUILESS_MAIN(DecoderTest)
#include "decoder_test.moc"
