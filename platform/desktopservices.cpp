#include "desktopservices.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>

namespace fotarik {
namespace {

// How long a file manager may take to answer before the folder is opened instead.
constexpr int FileManagerTimeoutMs = 3000;

class RealDesktop : public DesktopSeam
{
public:
    bool openUrl(const QUrl& url) override { return QDesktopServices::openUrl(url); }
    bool showItems(const QList<QUrl>& items) override { return showItemsOverSessionBus(items); }
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

} // namespace

bool showItemsOverSessionBus(const QList<QUrl>& items)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QStringList uris;
    for (const QUrl& url : items)
        uris << QString::fromLatin1(url.toEncoded());
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << uris << QString();
    // A file manager that is installed but not running is started by the bus (activation);
    // an error reply means there is none.
    const QDBusMessage reply = bus.call(call, QDBus::Block, FileManagerTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage;
}

bool openWithDefaultApplication(const QByteArray& path)
{
    return g_seam->openUrl(fileUrl(path));
}

bool showInFileManager(const QByteArray& path)
{
    if (g_seam->showItems({fileUrl(path)}))
        return true;
    return g_seam->openUrl(fileUrl(parentFolder(path)));
}

DesktopSeam* setDesktopSeam(DesktopSeam* seam)
{
    DesktopSeam* previous = g_seam;
    g_seam = seam ? seam : &g_realDesktop;
    return previous;
}

} // namespace fotarik
