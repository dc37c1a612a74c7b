// `cpack -G DEB` makes fotarik_<version>_<arch>.deb: its control data names the libraries
// the binary links (computed by dpkg-shlibdeps) and the plugins the program loads at run
// time, and it holds exactly the installed files under /usr.

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run run(const QString& program, const QStringList& arguments, const QString& workingDirectory = {})
{
    QProcess p;
    if (!workingDirectory.isEmpty())
        p.setWorkingDirectory(workingDirectory);
    p.start(program, arguments);
    Run r;
    if (!p.waitForFinished(500000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.exitCode = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

} // namespace

class TstPackage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void controlDataNamesWhatTheProgramNeeds();
    void holdsExactlyTheInstalledFiles();

private:
    QString field(const QString& name);

    QTemporaryDir m_out;
    QString m_deb;
};

void TstPackage::initTestCase()
{
    QVERIFY(m_out.isValid());
    const Run r =
        run(QStringLiteral(FOTARIK_CPACK),
            {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
             QStringLiteral(FOTARIK_BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"), m_out.path()},
            m_out.path());
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    const Run arch = run(QStringLiteral("dpkg"), {QStringLiteral("--print-architecture")});
    QCOMPARE(arch.exitCode, 0);
    m_deb = m_out.filePath(QStringLiteral("fotarik_" FOTARIK_VERSION "_") + arch.out.trimmed() +
                           QStringLiteral(".deb"));
    QVERIFY2(QFileInfo::exists(m_deb), qPrintable(QDir(m_out.path()).entryList().join(u' ')));
}

QString TstPackage::field(const QString& name)
{
    const Run r = run(QStringLiteral("dpkg-deb"), {QStringLiteral("--field"), m_deb, name});
    return r.exitCode == 0 ? r.out.trimmed() : QString();
}

void TstPackage::controlDataNamesWhatTheProgramNeeds()
{
    const Run info = run(QStringLiteral("dpkg-deb"), {QStringLiteral("--info"), m_deb});
    QCOMPARE(info.exitCode, 0);
    QCOMPARE(field(QStringLiteral("Package")), QStringLiteral("fotarik"));
    QCOMPARE(field(QStringLiteral("Version")), QStringLiteral(FOTARIK_VERSION));
    QCOMPARE(field(QStringLiteral("Section")), QStringLiteral("graphics"));
    QVERIFY(!field(QStringLiteral("Maintainer")).isEmpty());
    const QString description = field(QStringLiteral("Description"));
    QVERIFY2(description.startsWith(
                 QStringLiteral("find picture, text, sound and video files and preview them\n")),
             qPrintable(description));
    QVERIFY(description.contains(QStringLiteral("full-screen window")));
    QCOMPARE(description.count(QStringLiteral("preview them")), 1);

    const QStringList depends = field(QStringLiteral("Depends")).split(QStringLiteral(", "));
    const auto has = [&](const QString& package) {
        return std::any_of(depends.begin(), depends.end(), [&](const QString& d) {
            return d == package || d.startsWith(package + QStringLiteral(" ("));
        });
    };
    QCOMPARE(QStringList(depends).removeDuplicates(), 0);
    // Computed from the binary: versioned library packages.
    for (const char* library : {"libc6", "libqt6core6", "libqt6gui6", "libqt6widgets6", "libqt6multimedia6",
                                "libjpeg62-turbo", "libpng16-16"})
        QVERIFY2(has(QString::fromLatin1(library)),
                 qPrintable(QLatin1String(library) + u' ' + depends.join(u'|')));
    QVERIFY(depends.filter(QRegularExpression(QStringLiteral("^libqt6widgets6 \\(>= 6\\."))).size() == 1);
    // Loaded at run time, so no library dependency can find them.
    for (const char* plugin :
         {"qt6-image-formats-plugins", "libqt6svg6", "gstreamer1.0-plugins-base", "gstreamer1.0-plugins-good",
          "gstreamer1.0-plugins-bad", "gstreamer1.0-libav", "fonts-urw-base35"})
        QVERIFY2(has(QString::fromLatin1(plugin)), plugin);
}

void TstPackage::holdsExactlyTheInstalledFiles()
{
    const Run contents = run(QStringLiteral("dpkg-deb"), {QStringLiteral("--contents"), m_deb});
    QCOMPARE(contents.exitCode, 0);
    QStringList files;
    for (const QString& line : contents.out.split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList columns = line.simplified().split(u' ');
        QVERIFY(columns.size() >= 6);
        QCOMPARE(columns[1], QStringLiteral("root/root"));
        if (!columns[0].startsWith(u'd'))
            files << columns[5];
    }
    files.sort();
    QStringList expected = {
        QStringLiteral("./usr/bin/fotarik"),
        QStringLiteral("./usr/share/applications/org.fotarik.fotarik.desktop"),
        QStringLiteral("./usr/share/icons/hicolor/scalable/apps/fotarik.svg"),
        QStringLiteral("./usr/share/man/man1/fotarik.1.gz"),
        QStringLiteral("./usr/share/metainfo/org.fotarik.fotarik.metainfo.xml"),
    };
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        expected << QStringLiteral("./usr/share/icons/hicolor/%1x%1/apps/fotarik.png").arg(size);
    expected.sort();
    QCOMPARE(files, expected);
    // The program is executable by everyone.
    QVERIFY(contents.out.contains(
        QRegularExpression(QStringLiteral("^-rwxr-xr-x root/root .* \\./usr/bin/fotarik$"),
                           QRegularExpression::MultilineOption)));
}

QTEST_GUILESS_MAIN(TstPackage)
#include "tst_package.moc"
