#pragma once
// What the desktop does with a file on request: open it in its default application, show
// it in the file manager. Both go through one seam that tests replace, so no program is
// started and every request can be checked.

#include <QByteArray>
#include <QList>
#include <QUrl>

#include "fileurl.h"

namespace fotarik {

class DesktopSeam
{
public:
    virtual ~DesktopSeam() = default;
    // Hands url to the desktop's default application for it (xdg-open and the like).
    // False when no application could be started.
    virtual bool openUrl(const QUrl& url) = 0;
    // Asks the file manager to show the items (org.freedesktop.FileManager1.ShowItems on the
    // session bus). False when there is no session bus or no file manager answers.
    virtual bool showItems(const QList<QUrl>& items) = 0;
};

// Opens the file in the desktop's default application. A file that vanished is the
// application's own error to report.
bool openWithDefaultApplication(const QByteArray& path);

// Shows the file selected in the file manager; without a file manager on the session bus
// (or without a session bus) its folder is opened instead.
bool showInFileManager(const QByteArray& path);

// Installs a seam; nullptr restores the real desktop. Returns the previous seam.
DesktopSeam* setDesktopSeam(DesktopSeam* seam);

// The real desktop's file-manager request alone, for tests of the D-Bus call itself.
bool showItemsOverSessionBus(const QList<QUrl>& items);

} // namespace fotarik
