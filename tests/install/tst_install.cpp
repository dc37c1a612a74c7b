// `cmake --install` into a staging folder: the program, its desktop entry, icons, man
// page and AppStream metainfo land where the desktop looks for them, and the validators a
// distribution runs accept them.

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QMimeDatabase>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "commandline.h"
#include "fileclass.h"
#include "suche.h"

using namespace fotarik;

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run run(const QString& program, const QStringList& arguments)
{
    QProcess p;
    p.start(program, arguments);
    Run r;
    if (!p.waitForFinished(300000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.exitCode = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// The keys of a desktop entry's main group, as written (no unescaping needed for ours).
QMap<QString, QString> readDesktopEntry(const QString& path)
{
    QMap<QString, QString> keys;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return keys;
    bool main = false;
    for (const QByteArray& raw : f.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(u'['))
            main = line == QLatin1String("[Desktop Entry]");
        else if (main && !line.startsWith(u'#') && line.contains(u'='))
            keys.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
    }
    return keys;
}

const QString AppId = QStringLiteral("org.fotarik.fotarik");
const QList<int> IconSizes = {16, 22, 24, 32, 48, 64, 128, 256};

} // namespace

class TstInstall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installsEveryFileInItsPlace();
    void iconsAreRenderedAtTheirSizes();
    void installedProgramRuns();
    void terminalSearchRunsWithoutTheWindowLibrary();
    void desktopEntryValidatesAndOffersThePicturesItShows();
    void metainfoValidates();
    void manPageFormatsCleanlyAndCoversTheCommandLine();

private:
    QString staged(const QString& relative) const { return m_prefix + u'/' + relative; }

    QTemporaryDir m_stage;
    QString m_prefix;
};

void TstInstall::initTestCase()
{
    QVERIFY(m_stage.isValid());
    m_prefix = m_stage.filePath(QStringLiteral("usr"));
    const Run r =
        run(QStringLiteral(FOTARIK_CMAKE), {QStringLiteral("--install"), QStringLiteral(FOTARIK_BUILD_DIR),
                                            QStringLiteral("--prefix"), m_prefix});
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
}

void TstInstall::installsEveryFileInItsPlace()
{
    QStringList expected = {
        QStringLiteral("bin/fotarik"),
        QStringLiteral("lib/fotarik/gui/libfotarik_gui.so"),
        QStringLiteral("share/applications/%1.desktop").arg(AppId),
        QStringLiteral("share/metainfo/%1.metainfo.xml").arg(AppId),
        QStringLiteral("share/man/man1/fotarik.1.gz"),
        QStringLiteral("share/icons/hicolor/scalable/apps/fotarik.svg"),
        QStringLiteral("share/doc/fotarik/copyright"),
        QStringLiteral("share/doc/fotarik/changelog.Debian.gz"),
        QStringLiteral("share/lintian/overrides/fotarik"),
    };
    for (int size : IconSizes)
        expected << QStringLiteral("share/icons/hicolor/%1x%1/apps/fotarik.png").arg(size);
    QStringList installed;
    QDirIterator it(m_prefix, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        installed << QDir(m_prefix).relativeFilePath(it.next());
    installed.sort();
    expected.sort();
    // Nothing else: no public libraries, headers, tests or benchmarks.
    QCOMPARE(installed, expected);
    QVERIFY(QFileInfo(staged(QStringLiteral("bin/fotarik"))).isExecutable());
    // The program's own library is loaded, never run.
    QVERIFY(!QFileInfo(staged(QStringLiteral("lib/fotarik/gui/libfotarik_gui.so"))).isExecutable());
}

void TstInstall::iconsAreRenderedAtTheirSizes()
{
    for (int size : IconSizes) {
        const QImage icon(staged(QStringLiteral("share/icons/hicolor/%1x%1/apps/fotarik.png").arg(size)));
        QCOMPARE(icon.size(), QSize(size, size));
        QVERIFY(icon.hasAlphaChannel());
        // Drawn, not empty: the middle is opaque, a corner transparent.
        QCOMPARE(qAlpha(icon.pixel(size / 2, size / 2)), 255);
        QCOMPARE(qAlpha(icon.pixel(0, size - 1)), 0);
    }
}

void TstInstall::installedProgramRuns()
{
    const QString program = staged(QStringLiteral("bin/fotarik"));
    Run r = run(program, {QStringLiteral("--version")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QStringLiteral("fotarik " FOTARIK_VERSION "\n"));
    // The terminal search needs no display.
    QTemporaryDir dir;
    QFile(dir.filePath(QStringLiteral("a.JPG"))).open(QIODevice::WriteOnly);
    QFile(dir.filePath(QStringLiteral("b.txt"))).open(QIODevice::WriteOnly);
    r = run(program, {QStringLiteral("--find"), dir.path()});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, dir.filePath(QStringLiteral("a.JPG")) + u'\n');
}

// The installed program finds its library below its own prefix (the staged copy cannot reach
// the build's), and --find does not need it: a system whose display libraries are broken
// still searches, and everything else says why it cannot start.
void TstInstall::terminalSearchRunsWithoutTheWindowLibrary()
{
    QTemporaryDir copy;
    QVERIFY(copy.isValid());
    QVERIFY(QDir().mkpath(copy.filePath(QStringLiteral("bin"))));
    QVERIFY(QDir().mkpath(copy.filePath(QStringLiteral("lib/fotarik/gui"))));
    const QString program = copy.filePath(QStringLiteral("bin/fotarik"));
    QVERIFY(QFile::copy(staged(QStringLiteral("bin/fotarik")), program));
    // A library that is there but cannot be loaded, as a damaged installation leaves it.
    QFile broken(copy.filePath(QStringLiteral("lib/fotarik/gui/libfotarik_gui.so")));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    QVERIFY(broken.write("not a library\n") > 0);
    broken.close();

    QTemporaryDir dir;
    QFile(dir.filePath(QStringLiteral("a.JPG"))).open(QIODevice::WriteOnly);
    Run r = run(program, {QStringLiteral("--find"), dir.path()});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, dir.filePath(QStringLiteral("a.JPG")) + u'\n');
    QCOMPARE(r.err, QStringLiteral("1\n"));

    for (const QStringList& arguments :
         {QStringList{QStringLiteral("--version")}, QStringList{QStringLiteral("--thumbnail"), dir.path()}}) {
        r = run(program, arguments);
        QCOMPARE(r.exitCode, 127);
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.startsWith(QStringLiteral("fotarik: ")) &&
                     r.err.contains(QStringLiteral("/bin/../lib/fotarik/gui/libfotarik_gui.so: ")) &&
                     r.err.endsWith(u'\n'),
                 qPrintable(r.err));
    }
}

void TstInstall::desktopEntryValidatesAndOffersThePicturesItShows()
{
    const QString file = staged(QStringLiteral("share/applications/%1.desktop").arg(AppId));
    const Run r = run(QStringLiteral("desktop-file-validate"), {file});
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    // Hints are printed too; a clean entry has none.
    QVERIFY2(r.out.trimmed().isEmpty(), qPrintable(r.out));

    const QMap<QString, QString> entry = readDesktopEntry(file);
    QCOMPARE(entry.value(QStringLiteral("Exec")), QStringLiteral("fotarik %f"));
    QCOMPARE(entry.value(QStringLiteral("Icon")), QStringLiteral("fotarik"));
    QCOMPARE(entry.value(QStringLiteral("Name")), QStringLiteral("Fotarik"));
    for (const char* key : {"Name[de]", "Comment", "Comment[de]", "GenericName[de]"})
        QVERIFY2(!entry.value(QString::fromLatin1(key)).isEmpty(), key);
    QVERIFY(entry.value(QStringLiteral("Categories")).split(u';').contains(QStringLiteral("Graphics")));

    // The task bar matches the window to this entry by the window's class (Qt's X11 class is
    // the application name).
    QCOMPARE(entry.value(QStringLiteral("StartupWMClass")), QStringLiteral("Fotarik"));

    // The entry offers Fotarik for every picture type it shows, and for nothing else: never
    // for folders, texts, sound or video, which other programs open.
    const QStringList listed = entry.value(QStringLiteral("MimeType")).split(u';', Qt::SkipEmptyParts);
    for (const QString& type : listed)
        QVERIFY2(type.startsWith(QStringLiteral("image/")), qPrintable(type));
    QMimeDatabase types;
    const auto opened = [&](const QMimeType& type) {
        return std::any_of(listed.begin(), listed.end(),
                           [&](const QString& t) { return type.inherits(t) || type.aliases().contains(t); });
    };
    // The photo formats without a tick-box are read by their content like every picture.
    QStringList pictureSuffixes = {QStringLiteral("webp"), QStringLiteral("heic"), QStringLiteral("heif"),
                                   QStringLiteral("avif"), QStringLiteral("jxl")};
    for (const char* caption : TypeCaptions) {
        for (const QString& ext : QString::fromLatin1(caption).split(QStringLiteral(", "))) {
            const QString name = QStringLiteral("x.") + ext.toLower();
            const QMimeType type = types.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
            if (type.isDefault())
                continue; // no registered type for this suffix: nothing to open it by
            if (FileClass(name.toUtf8()) == FileKind::Picture)
                pictureSuffixes << ext.toLower();
            else
                QVERIFY2(!opened(type), qPrintable(name + u' ' + type.name()));
        }
    }
    for (const QString& ext : pictureSuffixes) {
        const QMimeType type =
            types.mimeTypeForFile(QStringLiteral("x.") + ext, QMimeDatabase::MatchExtension);
        QVERIFY2(opened(type), qPrintable(ext + u' ' + type.name()));
    }
    // Nor for pictures it cannot decode.
    for (const char* never : {"inode/directory", "text/plain", "text/html", "audio/mpeg", "audio/x-wav",
                              "audio/midi", "video/x-msvideo", "image/svg+xml"})
        QVERIFY2(!opened(types.mimeTypeForName(QString::fromLatin1(never))), never);
}

void TstInstall::metainfoValidates()
{
    const QString file = staged(QStringLiteral("share/metainfo/%1.metainfo.xml").arg(AppId));
    const Run r = run(QStringLiteral("appstreamcli"), {QStringLiteral("validate"), QStringLiteral("--no-net"),
                                                       QStringLiteral("--pedantic"), file});
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    // Not even a pedantic remark ("E:", "W:", "I:", "P:" lines).
    QVERIFY2(
        !r.out.contains(QRegularExpression(QStringLiteral("^[EWIP]: "), QRegularExpression::MultilineOption)),
        qPrintable(r.out));
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QString xml = QString::fromUtf8(f.readAll());
    QVERIFY(
        xml.contains(QStringLiteral("<launchable type=\"desktop-id\">%1.desktop</launchable>").arg(AppId)));
    QVERIFY(xml.contains(QStringLiteral("<release version=\"" FOTARIK_VERSION "\"")));
    QVERIFY(xml.contains(QStringLiteral("<binary>fotarik</binary>")));
}

void TstInstall::manPageFormatsCleanlyAndCoversTheCommandLine()
{
    const Run unpacked = run(QStringLiteral("gzip"),
                             {QStringLiteral("-dc"), staged(QStringLiteral("share/man/man1/fotarik.1.gz"))});
    QCOMPARE(unpacked.exitCode, 0);
    const QString page = unpacked.out;
    QVERIFY(page.startsWith(QStringLiteral(".TH FOTARIK 1 ")));
    QVERIFY(page.contains(QStringLiteral("\"Fotarik " FOTARIK_VERSION "\"")));
    for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS"})
        QVERIFY2(page.contains(QStringLiteral(".SH ") + QLatin1String(section)), section);
    // Every option of the program's own usage text is described.
    const QString usage = usageText();
    const QRegularExpression option(QStringLiteral("--[a-z-]+"));
    for (auto m = option.globalMatch(usage); m.hasNext();) {
        QString name = m.next().captured();
        QVERIFY2(page.contains(name.replace(QStringLiteral("-"), QStringLiteral("\\-"))), qPrintable(name));
    }
    // groff finds nothing to warn about.
    QTemporaryDir dir;
    const QString plain = dir.filePath(QStringLiteral("fotarik.1"));
    QFile out(plain);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(page.toUtf8());
    out.close();
    const Run formatted =
        run(QStringLiteral("groff"), {QStringLiteral("-man"), QStringLiteral("-ww"), QStringLiteral("-z"),
                                      QStringLiteral("-K"), QStringLiteral("utf8"), plain});
    QCOMPARE(formatted.exitCode, 0);
    QVERIFY2(formatted.err.isEmpty(), qPrintable(formatted.err));
}

QTEST_GUILESS_MAIN(TstInstall)
#include "tst_install.moc"
