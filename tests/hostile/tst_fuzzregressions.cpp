// Every input a fuzzer ever found failing (tests/fuzz-regressions/<entry>/), fed again to
// the same entry point the fuzzer drives. An entry point aborts on a wrong answer, so a
// regression fails this test by crashing it; the sanitizer build catches memory errors.

#include <QDir>
#include <QGuiApplication>
#include <QTest>

#include "fuzzentries.h"
#include "workermain.h"

class TstFuzzRegressions : public QObject
{
    Q_OBJECT

private slots:
    void replay_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("file");
        const QDir root(QStringLiteral(FOTARIK_FUZZ_REGRESSIONS));
        for (const fuzzentry::Entry& e : fuzzentry::entries()) {
            const QDir dir(root.filePath(QString::fromLatin1(e.name)));
            for (const QString& f : dir.entryList(QDir::Files, QDir::Name))
                QTest::newRow(qPrintable(QString::fromLatin1(e.name) + u'/' + f))
                    << QString::fromLatin1(e.name) << dir.filePath(f);
        }
        // Each entry also gets an empty input and one of every byte value.
        for (const fuzzentry::Entry& e : fuzzentry::entries()) {
            QTest::newRow(qPrintable(QString::fromLatin1(e.name) + QStringLiteral("/(empty)")))
                << QString::fromLatin1(e.name) << QString();
            QTest::newRow(qPrintable(QString::fromLatin1(e.name) + QStringLiteral("/(all bytes)")))
                << QString::fromLatin1(e.name) << QStringLiteral("*");
        }
    }
    void replay()
    {
        QFETCH(QString, entry);
        QFETCH(QString, file);
        QByteArray bytes;
        if (file == QLatin1String("*")) {
            for (int i = 0; i < 256; ++i)
                bytes += char(i);
        } else if (!file.isEmpty()) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            bytes = f.readAll();
        }
        for (const fuzzentry::Entry& e : fuzzentry::entries())
            if (entry == QLatin1String(e.name))
                e.run(bytes);
    }
    void everyEntryHasItsFolder()
    {
        const QDir root(QStringLiteral(FOTARIK_FUZZ_REGRESSIONS));
        for (const fuzzentry::Entry& e : fuzzentry::entries())
            QVERIFY2(root.exists(QString::fromLatin1(e.name)), e.name);
    }
};

FOTARIK_TEST_MAIN(TstFuzzRegressions)
#include "tst_fuzzregressions.moc"
