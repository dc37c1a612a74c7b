// The command line: which arguments are options and which make the start path, the German
// usage error of an unknown option (exit 2, before any window system is touched), one spelling
// of the thumbnail size, and the skipped steps' log, which is silent unless asked for.

#include <QLoggingCategory>
#include <QProcess>
#include <QTest>
#include <stdexcept>

#include "budgets.h"
#include "commandline.h"
#include "trystep.h"

using namespace fotarik;

Q_DECLARE_METATYPE(CommandLine::Mode)

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run runProgram(const QStringList& arguments)
{
    QProcess process;
    // No display, and a platform that fails if a window system were touched.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(FOTARIK_EXE), arguments);
    if (!process.waitForFinished(budget::ms(budget::TestWait)) ||
        process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

QStringList g_logged;

void record(QtMsgType, const QMessageLogContext& context, const QString& text)
{
    g_logged << QString::fromLatin1(context.category) + u' ' + text;
}

} // namespace

class TstCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void optionsAndPath_data();
    void optionsAndPath();
    void anUnknownOptionIsAUsageError_data();
    void anUnknownOptionIsAUsageError();
    void theThumbnailSizeHasOneSpelling();
    void skippedStepsAreLoggedOnlyWhenAskedFor();
};

void TstCommandLine::optionsAndPath_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<CommandLine::Mode>("mode");
    QTest::addColumn<QList<int>>("path");
    using M = CommandLine::Mode;
    const auto args = [](std::initializer_list<const char*> list) {
        QStringList l{QStringLiteral("fotarik")};
        for (const char* a : list)
            l << QString::fromUtf8(a);
        return l;
    };
    QTest::newRow("nothing") << args({}) << M::Window << QList<int>{};
    QTest::newRow("a path") << args({"/srv/bilder"}) << M::Window << QList<int>{1};
    QTest::newRow("a path in words") << args({"/srv/Urlaub", "2024"}) << M::Window << QList<int>{1, 2};
    QTest::newRow("a blank and a dash inside") << args({"/srv/Urlaub -2024"}) << M::Window << QList<int>{1};
    QTest::newRow("a lone dash") << args({"a", "-", "b"}) << M::Window << QList<int>{1, 2, 3};
    QTest::newRow("after --") << args({"--", "-x.jpg", "--help"}) << M::Window << QList<int>{2, 3};
    QTest::newRow("a second -- is path") << args({"--", "--"}) << M::Window << QList<int>{2};
    QTest::newRow("help") << args({"--help"}) << M::Help << QList<int>{};
    QTest::newRow("h") << args({"x", "-h"}) << M::Help << QList<int>{};
    QTest::newRow("version") << args({"--version"}) << M::Version << QList<int>{};
    QTest::newRow("find") << args({"--find", "/srv"}) << M::Find << QList<int>{};
    QTest::newRow("thumbnail") << args({"--thumbnail", "a.jpg", "2x2"}) << M::Thumbnail << QList<int>{};
    QTest::newRow("bogus") << args({"--bogus"}) << M::UsageError << QList<int>{};
    QTest::newRow("V") << args({"-V"}) << M::UsageError << QList<int>{};
    QTest::newRow("find later") << args({"/srv", "--find"}) << M::UsageError << QList<int>{};
    QTest::newRow("Qt's own") << args({"-platform", "offscreen", "/srv", "-reverse", "--style=fusion"})
                              << M::Window << QList<int>{3};
}

void TstCommandLine::optionsAndPath()
{
    QFETCH(QStringList, arguments);
    QFETCH(CommandLine::Mode, mode);
    QFETCH(QList<int>, path);
    const CommandLine c = parseCommandLine(arguments);
    QCOMPARE(c.mode, mode);
    QCOMPARE(c.pathArguments, path);
    QCOMPARE(c.error.isEmpty(), mode != CommandLine::Mode::UsageError);
}

void TstCommandLine::anUnknownOptionIsAUsageError_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("firstLine");
    QTest::newRow("--bogus") << QStringList{QStringLiteral("--bogus")}
                             << QByteArray("fotarik: unbekannte Option „--bogus“");
    QTest::newRow("-V") << QStringList{QStringLiteral("-V")} << QByteArray("fotarik: unbekannte Option „-V“");
    QTest::newRow("after a path") << QStringList{QStringLiteral("/tmp"), QStringLiteral("--nix")}
                                  << QByteArray("fotarik: unbekannte Option „--nix“");
    QTest::newRow("--find later") << QStringList{QStringLiteral("/tmp"), QStringLiteral("--find")}
                                  << QByteArray("fotarik: „--find“ steht nur als erstes Argument");
}

void TstCommandLine::anUnknownOptionIsAUsageError()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, firstLine);
    const Run r = runProgram(arguments);
    // Exit 2 without a display: the error comes before any window.
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.out.isEmpty());
    const QList<QByteArray> lines = r.err.split('\n');
    QCOMPARE(lines.value(0), firstLine);
    QVERIFY2(lines.value(1).startsWith("Aufruf: fotarik [--] [PFAD]"), r.err.constData());
    QVERIFY(r.err.contains("fotarik --help"));
}

void TstCommandLine::theThumbnailSizeHasOneSpelling()
{
    const Run help = runProgram({QStringLiteral("--help")});
    QCOMPARE(help.exitCode, 0);
    const Run wrong = runProgram({QStringLiteral("--thumbnail"), QStringLiteral("a.jpg")});
    QCOMPARE(wrong.exitCode, 2);
    QVERIFY(help.out.contains("--thumbnail DATEI BREITExHÖHE"));
    QCOMPARE(wrong.err, QByteArray("Aufruf: fotarik --thumbnail DATEI BREITExHÖHE\n"));
}

void TstCommandLine::skippedStepsAreLoggedOnlyWhenAskedFor()
{
    const QtMessageHandler previous = qInstallMessageHandler(record);
    g_logged.clear();
    QVERIFY(!tryStep("read the list", [] { throw std::runtime_error("gone"); }));
    QVERIFY(tryStep("a step that works", [] {}));
    QVERIFY2(g_logged.isEmpty(), qPrintable(g_logged.join(u'\n')));
    QLoggingCategory::setFilterRules(QStringLiteral("fotarik.step.debug=true"));
    QVERIFY(!tryStep("read the list", [] { throw std::runtime_error("gone"); }));
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(previous);
    QCOMPARE(g_logged, QStringList{QStringLiteral("fotarik.step step skipped: read the list - gone")});
}

QTEST_GUILESS_MAIN(TstCommandLine)
#include "tst_commandline.moc"
