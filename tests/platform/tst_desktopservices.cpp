// "Show in the file manager" over a real, private session bus: a file manager that owns
// org.freedesktop.FileManager1 gets ShowItems with the file's URL; without one the folder
// is opened instead. The default application itself is never started (recording seam).

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QMutex>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include "desktopservices.h"
#include "recordingdesktopseam.h"

using namespace fotarik;

namespace {

QString g_busAddress;

// Stands in for a file manager on the bus; lives in its own thread, as a separate program
// would, so the blocking request of the code under test can be answered.
class FakeFileManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QStringList received() const
    {
        QMutexLocker lock(&m_mutex);
        return m_received;
    }
    QString startupId() const
    {
        QMutexLocker lock(&m_mutex);
        return m_startupId;
    }

public slots:
    void ShowItems(const QStringList& uris, const QString& startupId)
    {
        QMutexLocker lock(&m_mutex);
        m_received += uris;
        m_startupId = startupId;
    }

private:
    mutable QMutex m_mutex;
    QStringList m_received;
    QString m_startupId;
};

} // namespace

class TstDesktopServices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void withoutAFileManagerTheFolderOpens();
    void theFileManagerIsAskedToShowTheFile();
    void fileUrlKeepsTheBytesOfTheName();
};

void TstDesktopServices::initTestCase()
{
    if (g_busAddress.isEmpty())
        QSKIP("dbus-daemon is not available");
    QVERIFY(QDBusConnection::sessionBus().isConnected());
}

void TstDesktopServices::withoutAFileManagerTheFolderOpens()
{
    RecordingDesktopSeam desktop;
    desktop.useSessionBus = true;
    QVERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(
        QStringLiteral("org.freedesktop.FileManager1")));
    QVERIFY(showInFileManager("/srv/bilder/Urlaub 2024/strand.jpg"));
    QCOMPARE(desktop.shown.size(), size_t(1));
    QCOMPARE(desktop.opened.size(), size_t(1));
    QCOMPARE(desktop.opened.front(), QUrl::fromLocalFile(QStringLiteral("/srv/bilder/Urlaub 2024")));
    // A file in the root folder: the root opens.
    QVERIFY(showInFileManager("/a.jpg"));
    QCOMPARE(desktop.opened.back(), QUrl::fromLocalFile(QStringLiteral("/")));
}

void TstDesktopServices::theFileManagerIsAskedToShowTheFile()
{
    QThread thread;
    thread.start();
    auto* fileManager = new FakeFileManager;
    fileManager->moveToThread(&thread);
    {
        QDBusConnection connection =
            QDBusConnection::connectToBus(g_busAddress, QStringLiteral("filemanager"));
        QVERIFY(connection.isConnected());
        QVERIFY(connection.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), fileManager,
                                          QDBusConnection::ExportAllSlots));
        QVERIFY(connection.registerService(QStringLiteral("org.freedesktop.FileManager1")));
    }
    RecordingDesktopSeam desktop;
    desktop.useSessionBus = true;
    const QByteArray file = "/srv/bilder/Urlaub 2024/strand ä.jpg";
    QVERIFY(showInFileManager(file));
    QCOMPARE(fileManager->received(),
             QStringList{QStringLiteral("file:///srv/bilder/Urlaub%202024/strand%20%C3%A4.jpg")});
    QCOMPARE(fileManager->startupId(), QString());
    // It answered, so no folder was opened.
    QVERIFY(desktop.opened.empty());

    QDBusConnection::disconnectFromBus(QStringLiteral("filemanager"));
    thread.quit();
    thread.wait();
    delete fileManager;
}

void TstDesktopServices::fileUrlKeepsTheBytesOfTheName()
{
    QCOMPARE(fileUrl("/tmp/a b.jpg"), QUrl::fromLocalFile(QStringLiteral("/tmp/a b.jpg")));
    QCOMPARE(fileUrl("/tmp/\xc3\xa4.jpg").toLocalFile(), QStringLiteral("/tmp/ä.jpg"));
    const QUrl odd = fileUrl("/tmp/x\xff#?%.jpg");
    QVERIFY(odd.isValid());
    QCOMPARE(odd.toEncoded(), QByteArray("file:///tmp/x%FF%23%3F%25.jpg"));
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
        if (daemon.waitForStarted() && daemon.waitForReadyRead(10000))
            g_busAddress = QString::fromUtf8(daemon.readLine()).trimmed();
        if (!g_busAddress.isEmpty())
            qputenv("DBUS_SESSION_BUS_ADDRESS", g_busAddress.toUtf8());
    }
    int result = 0;
    {
        QCoreApplication app(argc, argv);
        TstDesktopServices test;
        result = QTest::qExec(&test, argc, argv);
    }
    daemon.terminate();
    daemon.waitForFinished(5000);
    return result;
}

#include "tst_desktopservices.moc"
