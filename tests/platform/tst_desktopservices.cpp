// The real desktop requests, with stand-ins for everything outside the program: a private
// session bus (dbus-daemon started for this run and stopped at its end) with a stand-in file
// manager on it, and stand-in `gio`, `xdg-open` and `xdg-mime` programs on a private PATH that
// write down what they were asked. Every request returns at once; its failure ends in a German
// message box (captured); names that are not UTF-8 travel as URIs made from their bytes.

#include <QApplication>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QMimeData>
#include <QMutex>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>

#include "budgets.h"
#include "capturingmessageseam.h"
#include "desktopservices.h"
#include "testfiles.h"

#include <unistd.h>

using namespace fotarik;

namespace {

constexpr int Wait = budget::ms(budget::TestWait);
// How long the stand-in file manager keeps a request before it answers.
constexpr int SlowAnswerMs = 2000;

QString g_busAddress;

// Stands in for a file manager on the bus; lives in its own thread, as a separate program
// would. It answers after answerDelayMs, or with an error when failWith is set.
class StandInFileManager : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QStringList received() const
    {
        QMutexLocker lock(&m_mutex);
        return m_received;
    }
    std::atomic<int> answerDelayMs{0};
    std::atomic<bool> answered{false};
    QString failWith;

public slots:
    void ShowItems(const QStringList& uris, const QString& startupId)
    {
        Q_UNUSED(startupId);
        {
            QMutexLocker lock(&m_mutex);
            m_received += uris;
        }
        if (!failWith.isEmpty()) {
            sendErrorReply(failWith, QStringLiteral("stand-in refuses"));
            answered = true;
            return;
        }
        if (answerDelayMs == 0) {
            answered = true;
            return;
        }
        setDelayedReply(true);
        const QDBusMessage reply = message().createReply();
        QDBusConnection bus = connection();
        QTimer::singleShot(answerDelayMs.load(), this, [this, reply, bus]() mutable {
            answered = true;
            bus.send(reply);
        });
    }

private:
    mutable QMutex m_mutex;
    QStringList m_received;
};

QByteArray readBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TstDesktopServices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void theFileManagerAnswersLaterAndTheWindowGoesOn();
    void aNameThatIsNotUtf8ReachesTheFileManagerAsItsBytes();
    void withoutAFileManagerTheFolderOpens();
    void aRefusingFileManagerCountsAsNone();
    void theFolderIsNotOpenedWhenFotarikOpensFolders();
    void theFolderHandlerIsAlsoReadFromGio();
    void aFolderThatWillNotOpenIsTold();
    void openingHandsTheUriToGioElseXdgOpen();
    void openingFailuresAreTold();
    void aVanishedFileIsToldAndNothingStarts();
    void copyPathGivesTheBytesAndLosslessText();

private:
    // A stand-in program on the private PATH: writes its arguments, one a line, into
    // <name>.args and then runs body.
    void tool(const QString& name, const QByteArray& body);
    QByteArray argsOf(const QString& name) const
    {
        return readBytes(m_bin->filePath(name + QStringLiteral(".args")));
    }
    QByteArray file(const QByteArray& name) const { return QFile::encodeName(m_files->path()) + '/' + name; }
    void registerFileManager();
    void dropFileManager();
    void settle() { QTRY_COMPARE_WITH_TIMEOUT(pendingDesktopRequests(), 0, Wait); }

    std::unique_ptr<QTemporaryDir> m_bin;
    std::unique_ptr<QTemporaryDir> m_files;
    std::unique_ptr<CapturingMessageSeam> m_messages;
    QByteArray m_path;
    QThread m_thread;
    StandInFileManager* m_fileManager = nullptr;
};

void TstDesktopServices::initTestCase()
{
    if (g_busAddress.isEmpty())
        QSKIP("dbus-daemon is not available");
    QVERIFY(QDBusConnection::sessionBus().isConnected());
    m_path = qgetenv("PATH");
}

void TstDesktopServices::init()
{
    m_bin = std::make_unique<QTemporaryDir>();
    m_files = std::make_unique<QTemporaryDir>();
    QVERIFY(m_bin->isValid() && m_files->isValid());
    // Only the stand-ins are found, whatever this machine has installed.
    qputenv("PATH", QFile::encodeName(m_bin->path()));
    m_messages = std::make_unique<CapturingMessageSeam>();
    for (const char* name : {"a.jpg", "Bild \xff\xfe.jpg", "ton ä.mp3"})
        test::makeFile(file(name));
}

void TstDesktopServices::cleanup()
{
    settle();
    dropFileManager();
    m_messages.reset();
    qputenv("PATH", m_path);
    // Qt cannot remove names that are not UTF-8.
    test::removeTreeByBytes(QFile::encodeName(m_files->path()));
    m_files.reset();
    m_bin.reset();
}

void TstDesktopServices::tool(const QString& name, const QByteArray& body)
{
    QFile f(m_bin->filePath(name));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > '" +
            QFile::encodeName(m_bin->filePath(name + QStringLiteral(".args"))) + "'\n" + body + "\n");
    f.close();
    QVERIFY(f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
}

void TstDesktopServices::registerFileManager()
{
    m_thread.start();
    m_fileManager = new StandInFileManager;
    m_fileManager->moveToThread(&m_thread);
    QDBusConnection connection = QDBusConnection::connectToBus(g_busAddress, QStringLiteral("filemanager"));
    QVERIFY(connection.isConnected());
    QVERIFY(connection.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), m_fileManager,
                                      QDBusConnection::ExportAllSlots));
    QVERIFY(connection.registerService(QStringLiteral("org.freedesktop.FileManager1")));
}

void TstDesktopServices::dropFileManager()
{
    if (!m_fileManager)
        return;
    QDBusConnection::disconnectFromBus(QStringLiteral("filemanager"));
    m_thread.quit();
    m_thread.wait();
    delete m_fileManager;
    m_fileManager = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT(!QDBusConnection::sessionBus().interface()->isServiceRegistered(
                                 QStringLiteral("org.freedesktop.FileManager1")),
                             Wait);
}

void TstDesktopServices::theFileManagerAnswersLaterAndTheWindowGoesOn()
{
    registerFileManager();
    m_fileManager->answerDelayMs = SlowAnswerMs;
    tool(QStringLiteral("gio"), "exit 0");
    tool(QStringLiteral("xdg-mime"), "echo org.example.Files.desktop");
    QWidget window;
    window.show();

    showInFileManager(file("a.jpg"), &window);
    // The request has returned while the file manager still keeps it.
    QVERIFY(!m_fileManager->answered);
    QTRY_COMPARE_WITH_TIMEOUT(m_fileManager->received().size(), 1, Wait);
    QCOMPARE(m_fileManager->received().front(), QString::fromLatin1(fileUrl(file("a.jpg")).toEncoded()));
    // Meanwhile the window serves its events: a timer fires, a resize is done.
    bool served = false;
    QTimer::singleShot(0, &window, [&] { served = true; });
    window.resize(321, 123);
    QTRY_VERIFY_WITH_TIMEOUT(served, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(window.size(), QSize(321, 123), Wait);
    QVERIFY(!m_fileManager->answered);
    QCOMPARE(pendingDesktopRequests(), 1);
    // Then the answer comes: the file was shown, nothing else happens.
    QTRY_VERIFY_WITH_TIMEOUT(m_fileManager->answered, Wait);
    settle();
    QVERIFY(m_messages->messages.empty());
    QVERIFY(argsOf(QStringLiteral("gio")).isNull());
    QVERIFY(argsOf(QStringLiteral("xdg-mime")).isNull());
}

void TstDesktopServices::aNameThatIsNotUtf8ReachesTheFileManagerAsItsBytes()
{
    registerFileManager();
    showInFileManager(file("Bild \xff\xfe.jpg"));
    QTRY_COMPARE_WITH_TIMEOUT(m_fileManager->received().size(), 1, Wait);
    const QString uri = m_fileManager->received().front();
    QVERIFY2(uri.endsWith(QStringLiteral("/Bild%20%FF%FE.jpg")), qPrintable(uri));
    QCOMPARE(QByteArray::fromPercentEncoding(uri.toLatin1().mid(7)), file("Bild \xff\xfe.jpg"));
    settle();
    QVERIFY(m_messages->messages.empty());
}

void TstDesktopServices::withoutAFileManagerTheFolderOpens()
{
    QVERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(
        QStringLiteral("org.freedesktop.FileManager1")));
    tool(QStringLiteral("xdg-mime"), "echo org.example.Files.desktop");
    tool(QStringLiteral("gio"), "exit 0");
    // The folder's name is not UTF-8 either: it goes on as its bytes.
    const QByteArray folder = file("Ordner \xe9");
    test::makeFolder(folder);
    test::makeFile(folder + "/x.jpg");
    showInFileManager(folder + "/x.jpg");
    settle();
    QCOMPARE(argsOf(QStringLiteral("xdg-mime")), QByteArray("query\ndefault\ninode/directory\n"));
    QCOMPARE(argsOf(QStringLiteral("gio")), "open\n" + fileUrl(folder).toEncoded() + '\n');
    QVERIFY(argsOf(QStringLiteral("gio")).endsWith("/Ordner%20%E9\n"));
    QVERIFY(m_messages->messages.empty());
}

void TstDesktopServices::aRefusingFileManagerCountsAsNone()
{
    registerFileManager();
    m_fileManager->failWith = QStringLiteral("org.freedesktop.DBus.Error.Failed");
    tool(QStringLiteral("xdg-mime"), "echo org.example.Files.desktop");
    tool(QStringLiteral("gio"), "exit 0");
    showInFileManager(file("a.jpg"));
    settle();
    QCOMPARE(m_fileManager->received().size(), 1);
    QCOMPARE(argsOf(QStringLiteral("gio")),
             "open\n" + fileUrl(QFile::encodeName(m_files->path())).toEncoded() + '\n');
    QVERIFY(m_messages->messages.empty());
}

void TstDesktopServices::theFolderIsNotOpenedWhenFotarikOpensFolders()
{
    tool(QStringLiteral("xdg-mime"), "echo org.fotarik.fotarik.desktop");
    tool(QStringLiteral("gio"), "exit 0");
    showInFileManager(file("a.jpg"));
    settle();
    QVERIFY(argsOf(QStringLiteral("gio")).isNull());
    QCOMPARE(m_messages->messages.size(), size_t(1));
    const Message& m = m_messages->messages.front();
    QCOMPARE(m.text, QString::fromUtf8(file("a.jpg")) +
                         QStringLiteral("\nließ sich nicht im Dateimanager zeigen: Kein Dateimanager hat "
                                        "geantwortet (org.freedesktop.DBus.Error.ServiceUnknown).\n\n"
                                        "Der Ordner wird auch nicht geöffnet: für Ordner ist Fotarik selbst "
                                        "eingetragen."));
    QCOMPARE(m.caption, QStringLiteral("Fotarik"));
    QCOMPARE(m.icon, MsgIcon::Warning);
    // A desktop entry a user made for it (a file manager's "other application") counts too.
    QVERIFY(isFotarikDesktopId(QStringLiteral("userapp-fotarik-K2QXU2.desktop")));
    QVERIFY(!isFotarikDesktopId(QStringLiteral("org.gnome.Nautilus.desktop")));
}

void TstDesktopServices::theFolderHandlerIsAlsoReadFromGio()
{
    // No xdg-mime: gio names the default on its first line.
    tool(QStringLiteral("gio"),
         "[ \"$1\" = mime ] && printf '%s\\n' 'Standardanwendung für „inode/directory“: "
         "org.fotarik.fotarik.desktop' 'Registrierte Anwendungen:'\nexit 0");
    showInFileManager(file("a.jpg"));
    settle();
    QCOMPARE(argsOf(QStringLiteral("gio")), QByteArray("mime\ninode/directory\n"));
    QCOMPARE(m_messages->messages.size(), size_t(1));
    QVERIFY(m_messages->messages.front().text.endsWith(
        QStringLiteral("für Ordner ist Fotarik selbst eingetragen.")));
}

void TstDesktopServices::aFolderThatWillNotOpenIsTold()
{
    // Neither gio nor xdg-mime nor xdg-open: nobody is asked, one message says so.
    showInFileManager(file("a.jpg"));
    settle();
    QCOMPARE(m_messages->messages.size(), size_t(1));
    QCOMPARE(m_messages->messages.front().text,
             QString::fromUtf8(file("a.jpg")) +
                 QStringLiteral("\nließ sich nicht im Dateimanager zeigen: Kein Dateimanager hat geantwortet "
                                "(org.freedesktop.DBus.Error.ServiceUnknown).\n\nAuch der Ordner ließ sich "
                                "nicht öffnen: Es ist kein Programm zum Öffnen installiert (weder „gio“ noch "
                                "„xdg-open“)."));
}

void TstDesktopServices::openingHandsTheUriToGioElseXdgOpen()
{
    tool(QStringLiteral("gio"), "exit 0");
    tool(QStringLiteral("xdg-open"), "exit 0");
    openWithDefaultApplication(file("Bild \xff\xfe.jpg"));
    settle();
    const QByteArray uri = fileUrl(file("Bild \xff\xfe.jpg")).toEncoded();
    QVERIFY(uri.endsWith("/Bild%20%FF%FE.jpg"));
    QCOMPARE(argsOf(QStringLiteral("gio")), "open\n" + uri + '\n');
    QVERIFY(argsOf(QStringLiteral("xdg-open")).isNull());

    QVERIFY(QFile::remove(m_bin->filePath(QStringLiteral("gio"))));
    openWithDefaultApplication(file("ton ä.mp3"));
    settle();
    QCOMPARE(argsOf(QStringLiteral("xdg-open")), fileUrl(file("ton ä.mp3")).toEncoded() + '\n');
    QVERIFY(m_messages->messages.empty());
}

void TstDesktopServices::openingFailuresAreTold()
{
    const QString shown = QString::fromUtf8(file("ton ä.mp3"));
    const QString head = shown + QStringLiteral("\nließ sich nicht mit dem Standardprogramm öffnen.\n\n");
    // gio finds no application and says so.
    tool(QStringLiteral("gio"),
         "echo 'gio: file:///x.mp3: No application is registered as handling this file' >&2\n"
         "exit 2");
    openWithDefaultApplication(file("ton ä.mp3"));
    settle();
    QCOMPARE(m_messages->messages.size(), size_t(1));
    QCOMPARE(m_messages->messages.back().text,
             head + QStringLiteral("„gio open“ meldet: gio: file:///x.mp3: No application is registered as "
                                   "handling this file"));
    // xdg-open fails without a word.
    QVERIFY(QFile::remove(m_bin->filePath(QStringLiteral("gio"))));
    tool(QStringLiteral("xdg-open"), "exit 3");
    openWithDefaultApplication(file("ton ä.mp3"));
    settle();
    QCOMPARE(m_messages->messages.size(), size_t(2));
    QCOMPARE(m_messages->messages.back().text,
             head + QStringLiteral("„xdg-open“ endete mit dem Fehlercode 3."));
    // A helper that dies.
    tool(QStringLiteral("xdg-open"), "kill -KILL $$");
    openWithDefaultApplication(file("ton ä.mp3"));
    settle();
    QCOMPARE(m_messages->messages.size(), size_t(3));
    QCOMPARE(m_messages->messages.back().text, head + QStringLiteral("„xdg-open“ ist abgestürzt."));
    // Neither program.
    QVERIFY(QFile::remove(m_bin->filePath(QStringLiteral("xdg-open"))));
    openWithDefaultApplication(file("ton ä.mp3"));
    settle();
    QCOMPARE(m_messages->messages.size(), size_t(4));
    QCOMPARE(
        m_messages->messages.back().text,
        head + QStringLiteral("Es ist kein Programm zum Öffnen installiert (weder „gio“ noch „xdg-open“)."));
    for (const Message& m : m_messages->messages) {
        QCOMPARE(m.caption, QStringLiteral("Fotarik"));
        QCOMPARE(m.icon, MsgIcon::Warning);
    }
}

void TstDesktopServices::aVanishedFileIsToldAndNothingStarts()
{
    registerFileManager();
    tool(QStringLiteral("gio"), "exit 0");
    QCOMPARE(::unlink(file("Bild \xff\xfe.jpg").constData()), 0);
    openWithDefaultApplication(file("Bild \xff\xfe.jpg"));
    showInFileManager(file("Bild \xff\xfe.jpg"));
    // Told at once, before anything could answer.
    QCOMPARE(m_messages->messages.size(), size_t(2));
    QCOMPARE(pendingDesktopRequests(), 0);
    const QString expected = QStringLiteral("Die Datei gibt es nicht mehr:\n") +
                             QString::fromLatin1(fileUrl(file("Bild \xff\xfe.jpg")).toEncoded());
    QCOMPARE(m_messages->messages[0].text, expected);
    QCOMPARE(m_messages->messages[1].text, expected);
    QVERIFY(argsOf(QStringLiteral("gio")).isNull());
    QVERIFY(m_fileManager->received().isEmpty());
}

void TstDesktopServices::copyPathGivesTheBytesAndLosslessText()
{
    copyPathToClipboard(file("ton ä.mp3"));
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    QVERIFY(data);
    QCOMPARE(data->data(QStringLiteral("text/uri-list")), fileUrl(file("ton ä.mp3")).toEncoded() + "\r\n");
    QCOMPARE(data->text(), QString::fromUtf8(file("ton ä.mp3")));

    const QByteArray odd = file("Bild \xff\xfe.jpg");
    copyPathToClipboard(odd);
    data = QGuiApplication::clipboard()->mimeData();
    QVERIFY(data);
    const QByteArray uri = data->data(QStringLiteral("text/uri-list"));
    QCOMPARE(QByteArray::fromPercentEncoding(uri.trimmed().mid(7)), odd);
    QCOMPARE(data->text(), QString::fromLatin1(uri.trimmed()));
    QCOMPARE(pathText(odd), data->text());
    QCOMPARE(pathText("/tmp/a b.jpg"), QStringLiteral("/tmp/a b.jpg"));
    // The URL keeps every byte of the name, also the ones URLs reserve.
    QCOMPARE(fileUrl("/tmp/x\xff#?%.jpg").toEncoded(), QByteArray("file:///tmp/x%FF%23%3F%25.jpg"));
    QCOMPARE(fileUrl("/tmp/\xc3\xa4.jpg").toLocalFile(), QStringLiteral("/tmp/ä.jpg"));
}

int main(int argc, char** argv)
{
    // A private session bus for this run only, so no real file manager can answer.
    QProcess daemon;
    const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    QTemporaryDir runtime;
    if (!program.isEmpty()) {
        daemon.start(program, {QStringLiteral("--session"), QStringLiteral("--nofork"),
                               QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1"),
                               QStringLiteral("--address=unix:dir=") + runtime.path()});
        if (daemon.waitForStarted() && daemon.waitForReadyRead(Wait))
            g_busAddress = QString::fromUtf8(daemon.readLine()).trimmed();
        if (!g_busAddress.isEmpty())
            qputenv("DBUS_SESSION_BUS_ADDRESS", g_busAddress.toUtf8());
    }
    int result = 0;
    {
        QApplication app(argc, argv);
        TstDesktopServices test;
        result = QTest::qExec(&test, argc, argv);
    }
    daemon.terminate();
    daemon.waitForFinished(Wait);
    return result;
}

#include "tst_desktopservices.moc"
