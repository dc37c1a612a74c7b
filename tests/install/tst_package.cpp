// `cpack -G DEB` makes fotarik_<version>-<revision>_<arch>.deb: its control data names the
// libraries the binary links (computed by dpkg-shlibdeps) and what the program cannot start
// or show its pictures without, and recommends the rest; it holds exactly the installed files
// under /usr; lintian finds no errors, warnings or informational tags in it. Unpacked into
// an empty folder that stands for a clean system, it makes Fotarik the default for pictures
// only: never for folders, texts, sound or video, with or without another program for them
// (xdg-mime and gio asked there).

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run run(const QString& program, const QStringList& arguments, const QString& workingDirectory = {},
        const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    if (!workingDirectory.isEmpty())
        p.setWorkingDirectory(workingDirectory);
    p.setProcessEnvironment(environment);
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
    void lintianFindsNoErrorsOrWarnings();
    void opensPicturesOnlyOnACleanSystem();
    void opensPicturesOnlyBesideAnotherProgram();

private:
    QString field(const QString& name);
    // A desktop with nothing but the unpacked package (and the MIME database) in its data
    // folders, plus the given folders.
    QProcessEnvironment cleanDesktop(const QStringList& moreDataFolders);
    QString defaultFor(const QProcessEnvironment& env, const QString& type);
    QString gioMime(const QProcessEnvironment& env, const QString& type);
    void unpack();

    QTemporaryDir m_out;
    QString m_deb;
    QString m_root;
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
    m_deb = m_out.filePath(QStringLiteral("fotarik_" FOTARIK_DEBIAN_VERSION "_") + arch.out.trimmed() +
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
    QCOMPARE(field(QStringLiteral("Version")), QStringLiteral(FOTARIK_DEBIAN_VERSION));
    QVERIFY(QStringLiteral(FOTARIK_DEBIAN_VERSION).startsWith(QStringLiteral(FOTARIK_VERSION "-")));
    QCOMPARE(field(QStringLiteral("Section")), QStringLiteral("graphics"));
    // A real address, the one the README names.
    QCOMPARE(field(QStringLiteral("Maintainer")),
             QStringLiteral("The Fotarik developers <fotarik@fotarik.org>"));
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
    // Loaded at run time, so no library dependency can find them: TIFF and WebP.
    QVERIFY(has(QStringLiteral("qt6-image-formats-plugins")));
    QVERIFY(has(QStringLiteral("libqt6svg6")));
    // What one kind of file or one menu item needs is recommended, not required.
    const QStringList recommends = field(QStringLiteral("Recommends")).split(QStringLiteral(", "));
    for (const char* optional :
         {"gstreamer1.0-plugins-base", "gstreamer1.0-plugins-good", "gstreamer1.0-plugins-bad",
          "gstreamer1.0-libav", "fonts-urw-base35", "fonts-dejavu-core", "fonts-liberation2",
          "qt6-translations-l10n", "xdg-utils", "libglib2.0-bin"}) {
        QVERIFY2(!has(QString::fromLatin1(optional)), optional);
        QVERIFY2(recommends.contains(QString::fromLatin1(optional)), optional);
    }
    for (const QString& d : depends)
        QVERIFY2(!d.startsWith(QStringLiteral("gstreamer")) && !d.startsWith(QStringLiteral("fonts-")),
                 qPrintable(d));
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
        QStringLiteral("./usr/lib/fotarik/gui/libfotarik_gui.so"),
        QStringLiteral("./usr/share/applications/org.fotarik.fotarik.desktop"),
        QStringLiteral("./usr/share/doc/fotarik/changelog.Debian.gz"),
        QStringLiteral("./usr/share/doc/fotarik/copyright"),
        QStringLiteral("./usr/share/lintian/overrides/fotarik"),
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
    // Its private library is read by everyone and executable by no one.
    QVERIFY(contents.out.contains(QRegularExpression(
        QStringLiteral("^-rw-r--r-- root/root .* \\./usr/lib/fotarik/gui/libfotarik_gui\\.so$"),
        QRegularExpression::MultilineOption)));
}

void TstPackage::lintianFindsNoErrorsOrWarnings()
{
    if (QStandardPaths::findExecutable(QStringLiteral("lintian")).isEmpty())
        QSKIP("lintian is not installed (scripts/install-deps.sh --test installs it)");
    const Run r =
        run(QStringLiteral("lintian"),
            {QStringLiteral("--fail-on"), QStringLiteral("error,warning"), QStringLiteral("--display-info"),
             QStringLiteral("--tag-display-limit"), QStringLiteral("0"), m_deb});
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    // Not even an informational tag (the one override is listed in the package itself). A
    // sanitizer build leaves out the fortified C library calls, the sanitizers replace them.
    QStringList tags;
    for (const QString& line : r.out.split(u'\n', Qt::SkipEmptyParts))
        if (line.contains(QRegularExpression(QStringLiteral("^[EWI]: "))))
            tags << line;
#ifdef FOTARIK_INSTRUMENTED
    tags.removeAll(QStringLiteral("I: fotarik: hardening-no-fortify-functions [usr/bin/fotarik]"));
    tags.removeAll(
        QStringLiteral("I: fotarik: hardening-no-fortify-functions [usr/lib/fotarik/gui/libfotarik_gui.so]"));
#endif
    QVERIFY2(tags.isEmpty(), qPrintable(tags.join(u'\n')));
    // The changelog's entry is this version; the copyright file is machine-readable.
    unpack();
    QVERIFY(!m_root.isEmpty());
    const Run changelog =
        run(QStringLiteral("gzip"),
            {QStringLiteral("-dc"), m_root + QStringLiteral("/usr/share/doc/fotarik/changelog.Debian.gz")});
    QCOMPARE(changelog.exitCode, 0);
    QVERIFY2(changelog.out.startsWith(QStringLiteral("fotarik (" FOTARIK_DEBIAN_VERSION ") ")),
             qPrintable(changelog.out));
    QFile copyright(m_root + QStringLiteral("/usr/share/doc/fotarik/copyright"));
    QVERIFY(copyright.open(QIODevice::ReadOnly));
    QVERIFY(copyright.readLine().startsWith(
        "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"));
}

void TstPackage::unpack()
{
    if (!m_root.isEmpty())
        return;
    const QString root = m_out.filePath(QStringLiteral("root"));
    const Run r = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), m_deb, root});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    // The entry cache a package installation makes (dpkg's trigger runs the same program).
    const Run cache =
        run(QStringLiteral("update-desktop-database"), {root + QStringLiteral("/usr/share/applications")});
    QVERIFY2(cache.exitCode == 0, qPrintable(cache.err));
    QVERIFY(QFileInfo::exists(root + QStringLiteral("/usr/share/applications/mimeinfo.cache")));
    m_root = root;
}

QProcessEnvironment TstPackage::cleanDesktop(const QStringList& moreDataFolders)
{
    const QString home = m_out.filePath(QStringLiteral("home"));
    QDir().mkpath(home + QStringLiteral("/.config"));
    QDir().mkpath(home + QStringLiteral("/.local/share"));
    // The MIME database only, without the rest of this machine's /usr/share.
    const QString mimeOnly = m_out.filePath(QStringLiteral("mimeonly"));
    QDir().mkpath(mimeOnly);
    QFile::link(QStringLiteral("/usr/share/mime"), mimeOnly + QStringLiteral("/mime"));
    QProcessEnvironment env;
    // The unpacked program is found as an installed one (gio skips entries whose program is missing).
    env.insert(QStringLiteral("PATH"),
               m_root + QStringLiteral("/usr/bin:") + QString::fromLocal8Bit(qgetenv("PATH")));
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_CONFIG_DIRS"), home + QStringLiteral("/etc-xdg"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_DATA_DIRS"),
               (QStringList{m_root + QStringLiteral("/usr/share")} + moreDataFolders + QStringList{mimeOnly})
                   .join(u':'));
    env.insert(QStringLiteral("GIO_USE_VFS"), QStringLiteral("local"));
    return env;
}

QString TstPackage::defaultFor(const QProcessEnvironment& env, const QString& type)
{
    const Run r =
        run(QStringLiteral("xdg-mime"), {QStringLiteral("query"), QStringLiteral("default"), type}, {}, env);
    return r.exitCode == 0 ? r.out.trimmed() : QStringLiteral("(xdg-mime failed: %1)").arg(r.err);
}

QString TstPackage::gioMime(const QProcessEnvironment& env, const QString& type)
{
    const Run r = run(QStringLiteral("gio"), {QStringLiteral("mime"), type}, {}, env);
    return r.out + r.err;
}

void TstPackage::opensPicturesOnlyOnACleanSystem()
{
    if (QStandardPaths::findExecutable(QStringLiteral("xdg-mime")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("gio")).isEmpty())
        QSKIP("xdg-mime or gio is not installed (scripts/install-deps.sh --test installs them)");
    unpack();
    QVERIFY(!m_root.isEmpty());
    const QProcessEnvironment env = cleanDesktop({});
    const QString fotarik = QStringLiteral("org.fotarik.fotarik.desktop");
    // Alone on the system, Fotarik opens the pictures it shows...
    for (const char* type :
         {"image/jpeg", "image/png", "image/webp", "image/tiff", "image/bmp", "image/gif",
          "image/vnd.microsoft.icon", "image/wmf", "image/emf", "image/heif", "image/avif"}) {
        QCOMPARE(defaultFor(env, QString::fromLatin1(type)), fotarik);
        QVERIFY2(gioMime(env, QString::fromLatin1(type)).contains(fotarik), type);
    }
    // ...and nothing else, even with no other program for it.
    for (const char* type : {"inode/directory", "text/plain", "text/html", "audio/mpeg", "audio/x-wav",
                             "audio/midi", "video/x-msvideo", "image/svg+xml"}) {
        QCOMPARE(defaultFor(env, QString::fromLatin1(type)), QString());
        const QString gio = gioMime(env, QString::fromLatin1(type));
        QVERIFY2(!gio.contains(QStringLiteral("fotarik")), qPrintable(gio));
    }
}

void TstPackage::opensPicturesOnlyBesideAnotherProgram()
{
    if (QStandardPaths::findExecutable(QStringLiteral("xdg-mime")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("gio")).isEmpty())
        QSKIP("xdg-mime or gio is not installed (scripts/install-deps.sh --test installs them)");
    unpack();
    QVERIFY(!m_root.isEmpty());
    // Another program for folders, texts, sound and video (a file manager, an editor, a player).
    const QString other = m_out.filePath(QStringLiteral("other"));
    QDir().mkpath(other + QStringLiteral("/applications"));
    QFile entry(other + QStringLiteral("/applications/org.example.Files.desktop"));
    QVERIFY(entry.open(QIODevice::WriteOnly));
    entry.write("[Desktop Entry]\nType=Application\nName=Files\nExec=true %U\n"
                "MimeType=inode/directory;text/plain;text/html;audio/mpeg;video/x-msvideo;\n");
    entry.close();
    QCOMPARE(
        run(QStringLiteral("update-desktop-database"), {other + QStringLiteral("/applications")}).exitCode,
        0);
    // Fotarik's folder comes first, so it would win wherever it claimed a type.
    const QProcessEnvironment env = cleanDesktop({other});
    for (const char* type : {"inode/directory", "text/plain", "text/html", "audio/mpeg", "video/x-msvideo"}) {
        QCOMPARE(defaultFor(env, QString::fromLatin1(type)), QStringLiteral("org.example.Files.desktop"));
        const QString gio = gioMime(env, QString::fromLatin1(type));
        QVERIFY2(gio.contains(QStringLiteral("org.example.Files.desktop")), qPrintable(gio));
        QVERIFY2(!gio.contains(QStringLiteral("fotarik")), qPrintable(gio));
    }
    QCOMPARE(defaultFor(env, QStringLiteral("image/jpeg")), QStringLiteral("org.fotarik.fotarik.desktop"));
}

QTEST_GUILESS_MAIN(TstPackage)
#include "tst_package.moc"
