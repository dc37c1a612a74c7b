#pragma once
// What the desktop does with a file on request: open it in its default application, show
// it in the file manager, put its path on the clipboard. Every request runs without waiting:
// the answer (of the file manager on the session bus, of the program that opens the file)
// arrives later on the window's thread, and a request that fails ends in a message box that
// says what failed (through the message seam). All requests go through one seam that tests
// replace, so no program is started and every request can be checked.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <functional>

#include "fileurl.h"

class QMimeData;
class QWidget;

namespace fotarik {

// How a request to the desktop ended. On failure, reason says why in German, for the message.
struct DesktopResult
{
    bool ok = true;
    QString reason;

    static DesktopResult success() { return {}; }
    static DesktopResult failure(const QString& why) { return {false, why}; }
};

using DesktopDone = std::function<void(const DesktopResult&)>;

class DesktopSeam
{
public:
    virtual ~DesktopSeam() = default;
    // Hands url to the desktop's default application for it (`gio open`, else `xdg-open`);
    // done gets whether that program reported success.
    virtual void openUrl(const QUrl& url, DesktopDone done) = 0;
    // Asks the file manager to show the items (org.freedesktop.FileManager1.ShowItems on the
    // session bus); done gets its answer, or the bus's error when none answers.
    virtual void showItems(const QList<QUrl>& items, DesktopDone done) = 0;
    // The desktop id of the program that opens folders (`xdg-mime query default
    // inode/directory`), empty when none is set or it cannot be asked.
    virtual void folderHandler(std::function<void(const QString& desktopId)> done) = 0;
};

// Opens the file in the desktop's default application. Failures (the file vanished, no
// program opens it, no program to ask) end in a message box over parent.
void openWithDefaultApplication(const QByteArray& path, QWidget* parent = nullptr);

// Shows the file selected in the file manager. Without a file manager on the session bus (or
// without a session bus) its folder is opened instead, unless the program for folders is
// Fotarik itself; every failure ends in a message box over parent.
void showInFileManager(const QByteArray& path, QWidget* parent = nullptr);

// Puts the path on the clipboard: as text/uri-list made from its bytes, and as plain text
// (see pathText). A file that vanished is still copied: its path is what was asked for.
void copyPathToClipboard(const QByteArray& path);

// The clipboard's contents for a path (the caller owns it).
QMimeData* pathMimeData(const QByteArray& path);

// The path as text: in the locale's encoding when that gives back the same bytes, else the
// percent-encoded file: URI, which names exactly that file.
QString pathText(const QByteArray& path);

// Whether a desktop id names Fotarik's own entry (or one a user made for it).
bool isFotarikDesktopId(const QString& desktopId);

// Installs a seam; nullptr restores the real desktop. Returns the previous seam.
DesktopSeam* setDesktopSeam(DesktopSeam* seam);

// How many helper programs and file-manager calls of the real desktop are still running.
int pendingDesktopRequests();

// The real desktop, for tests of the D-Bus call and the helper programs themselves.
DesktopSeam* realDesktop();

} // namespace fotarik
