#include "desktopservices.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QGuiApplication>
#include <QMimeData>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QWidget>
#include <memory>
#include <sys/stat.h>

#include "budgets.h"
#include "messagebox.h"

namespace fotarik {
namespace {

const QString Folder = QStringLiteral("inode/directory");

// Helper programs and bus calls that have not answered yet.
int g_pending = 0;

// The last line a helper program wrote to standard error, kept short for a message.
QString lastLine(const QByteArray& err)
{
    const QList<QByteArray> lines = err.trimmed().split('\n');
    QString line = QString::fromLocal8Bit(lines.isEmpty() ? QByteArray() : lines.back().trimmed());
    if (line.size() > 300)
        line = line.left(300) + QStringLiteral("…");
    return line;
}

struct Finished
{
    bool started = false;
    bool crashed = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs a helper program without waiting for it: done is called once, on this thread, when
// it has ended or could not start. The process belongs to the application, so one still
// running at the end is stopped then (what it started itself runs on).
void runHelper(const QString& program, const QStringList& arguments,
               std::function<void(const Finished&)> done)
{
    auto* process = new QProcess(QCoreApplication::instance());
    ++g_pending;
    process->setStandardInputFile(QProcess::nullDevice());
    auto once = std::make_shared<std::function<void(const Finished&)>>(std::move(done));
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [process, once](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart || !*once)
                             return;
                         auto call = std::move(*once);
                         *once = nullptr;
                         process->deleteLater();
                         --g_pending;
                         call(Finished{});
                     });
    QObject::connect(process, &QProcess::finished, process,
                     [process, once](int exitCode, QProcess::ExitStatus status) {
                         if (!*once)
                             return;
                         auto call = std::move(*once);
                         *once = nullptr;
                         Finished f;
                         f.started = true;
                         f.crashed = status == QProcess::CrashExit;
                         f.exitCode = exitCode;
                         f.out = process->readAllStandardOutput();
                         f.err = process->readAllStandardError();
                         process->deleteLater();
                         --g_pending;
                         call(f);
                     });
    process->start(program, arguments);
}

class RealDesktop : public DesktopSeam
{
public:
    void openUrl(const QUrl& url, DesktopDone done) override
    {
        const QString uri = QString::fromLatin1(url.toEncoded());
        QString program = QStandardPaths::findExecutable(QStringLiteral("gio"));
        QStringList arguments = {QStringLiteral("open"), uri};
        QString shown = QStringLiteral("gio open");
        if (program.isEmpty()) {
            program = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
            arguments = {uri};
            shown = QStringLiteral("xdg-open");
        }
        if (program.isEmpty()) {
            done(DesktopResult::failure(QStringLiteral(
                "Es ist kein Programm zum Öffnen installiert (weder „gio“ noch „xdg-open“).")));
            return;
        }
        runHelper(program, arguments, [shown, done = std::move(done)](const Finished& f) {
            if (!f.started)
                done(DesktopResult::failure(QStringLiteral("„%1“ ließ sich nicht starten.").arg(shown)));
            else if (f.crashed)
                done(DesktopResult::failure(QStringLiteral("„%1“ ist abgestürzt.").arg(shown)));
            else if (f.exitCode != 0 && !lastLine(f.err).isEmpty())
                done(DesktopResult::failure(QStringLiteral("„%1“ meldet: %2").arg(shown, lastLine(f.err))));
            else if (f.exitCode != 0)
                done(DesktopResult::failure(
                    QStringLiteral("„%1“ endete mit dem Fehlercode %2.").arg(shown).arg(f.exitCode)));
            else
                done(DesktopResult::success());
        });
    }

    void showItems(const QList<QUrl>& items, DesktopDone done) override
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) {
            done(DesktopResult::failure(QStringLiteral("Es gibt keine D-Bus-Sitzung.")));
            return;
        }
        QStringList uris;
        for (const QUrl& url : items)
            uris << QString::fromLatin1(url.toEncoded());
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
        call << uris << QString();
        // A file manager that is installed but not running is started by the bus (activation),
        // which may take a while; the window goes on meanwhile.
        auto* watcher = new QDBusPendingCallWatcher(
            bus.asyncCall(call, budget::ms(budget::FileManagerAnswer)), QCoreApplication::instance());
        ++g_pending;
        QObject::connect(
            watcher, &QDBusPendingCallWatcher::finished, watcher,
            [done = std::move(done)](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                --g_pending;
                if (!w->isError()) {
                    done(DesktopResult::success());
                    return;
                }
                const QDBusError error = w->error();
                if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout)
                    done(DesktopResult::failure(
                        QStringLiteral("Der Dateimanager hat nicht rechtzeitig geantwortet.")));
                else
                    done(DesktopResult::failure(
                        QStringLiteral("Kein Dateimanager hat geantwortet (%1).").arg(error.name())));
            });
    }

    void folderHandler(std::function<void(const QString&)> done) override
    {
        const QString xdgMime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
        if (!xdgMime.isEmpty()) {
            runHelper(xdgMime, {QStringLiteral("query"), QStringLiteral("default"), Folder},
                      [done = std::move(done)](const Finished& f) {
                          done(f.started && f.exitCode == 0 ? QString::fromUtf8(f.out).trimmed() : QString());
                      });
            return;
        }
        const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
        if (gio.isEmpty()) {
            done(QString());
            return;
        }
        // The first line names the default ("...: org.example.Files.desktop") in the user's
        // language; without a default it names none.
        runHelper(gio, {QStringLiteral("mime"), Folder}, [done = std::move(done)](const Finished& f) {
            const QString first = QString::fromUtf8(f.out).section(u'\n', 0, 0).trimmed();
            const QString id = first.section(QStringLiteral(": "), -1);
            done(f.started && f.exitCode == 0 && id.endsWith(QStringLiteral(".desktop")) ? id : QString());
        });
    }
};

RealDesktop g_realDesktop;
DesktopSeam* g_seam = &g_realDesktop;

QByteArray parentFolder(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash <= 0)
        return QByteArray("/");
    return path.left(slash);
}

bool stillThere(const QByteArray& path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

void warn(const QString& text, const QPointer<QWidget>& parent)
{
    showMessage(text, appTitle(), MsgIcon::Warning, parent.data());
}

QString vanishedText(const QByteArray& path)
{
    return QStringLiteral("Die Datei gibt es nicht mehr:\n%1").arg(pathText(path));
}

} // namespace

void openWithDefaultApplication(const QByteArray& path, QWidget* parent)
{
    const QPointer<QWidget> owner(parent);
    if (!stillThere(path)) {
        warn(vanishedText(path), owner);
        return;
    }
    g_seam->openUrl(fileUrl(path), [path, owner](const DesktopResult& r) {
        if (!r.ok)
            warn(QStringLiteral("%1\nließ sich nicht mit dem Standardprogramm öffnen.\n\n%2")
                     .arg(pathText(path), r.reason),
                 owner);
    });
}

void showInFileManager(const QByteArray& path, QWidget* parent)
{
    const QPointer<QWidget> owner(parent);
    if (!stillThere(path)) {
        warn(vanishedText(path), owner);
        return;
    }
    g_seam->showItems({fileUrl(path)}, [path, owner](const DesktopResult& shown) {
        if (shown.ok)
            return;
        const QString failed = QStringLiteral("%1\nließ sich nicht im Dateimanager zeigen: %2")
                                   .arg(pathText(path), shown.reason);
        // Without a file manager the folder is opened by the program for folders, unless that
        // is Fotarik: a second Fotarik is no file manager.
        g_seam->folderHandler([path, owner, failed](const QString& handler) {
            if (isFotarikDesktopId(handler)) {
                warn(failed + QStringLiteral("\n\nDer Ordner wird auch nicht geöffnet: für Ordner ist "
                                             "Fotarik selbst eingetragen."),
                     owner);
                return;
            }
            g_seam->openUrl(fileUrl(parentFolder(path)), [owner, failed](const DesktopResult& opened) {
                if (!opened.ok)
                    warn(failed + QStringLiteral("\n\nAuch der Ordner ließ sich nicht öffnen: %1")
                                      .arg(opened.reason),
                         owner);
            });
        });
    });
}

QString pathText(const QByteArray& path)
{
    const QString text = QString::fromLocal8Bit(path);
    if (text.toLocal8Bit() == path)
        return text;
    return QString::fromLatin1(fileUrl(path).toEncoded());
}

QMimeData* pathMimeData(const QByteArray& path)
{
    auto* data = new QMimeData;
    data->setData(QStringLiteral("text/uri-list"), fileUrl(path).toEncoded() + "\r\n");
    data->setText(pathText(path));
    return data;
}

void copyPathToClipboard(const QByteArray& path)
{
    QGuiApplication::clipboard()->setMimeData(pathMimeData(path));
}

bool isFotarikDesktopId(const QString& desktopId)
{
    return desktopId.contains(QStringLiteral("fotarik"), Qt::CaseInsensitive);
}

DesktopSeam* setDesktopSeam(DesktopSeam* seam)
{
    DesktopSeam* previous = g_seam;
    g_seam = seam ? seam : &g_realDesktop;
    return previous;
}

int pendingDesktopRequests()
{
    return g_pending;
}

DesktopSeam* realDesktop()
{
    return &g_realDesktop;
}

} // namespace fotarik
