// What the search window does with its hits: the preview of the entry at hsb's Value,
// the found list's mouse press and double click, the clipboard copy, dropped files and
// the slideshow.

#include <QAbstractEventDispatcher>
#include <QClipboard>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocale>
#include <QMimeData>
#include <algorithm>
#include <sys/stat.h>

#include "clongscroll.h"
#include "errorcatalogue.h"
#include "fileclass.h"
#include "fonts.h"
#include "form1.h"
#include "gdiplusresize.h"
#include "globals.h"
#include "media.h"
#include "messagebox.h"
#include "modlargelist.h"
#include "modul1.h"
#include "slideshow.h"
#include "suche.h"
#include "trystep.h"
#include "twips.h"
#include "ui_suche.h"
#include "vbmath.h"
#include "windowfiledrops.h"

namespace fotarik {
namespace {

const QString Mp3Alias = QStringLiteral("MyAlias");

// "#,###,###": digit groups with the user's separator, nothing for 0.
QString formatSize(qint64 bytes)
{
    if (bytes == 0)
        return QString();
    QLocale locale = QLocale::system();
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(bytes);
}

qint64 fileLength(const QByteArray& path)
{
    struct stat st
    {
    };
    if (::stat(path.constData(), &st) != 0)
        raiseFileNotFound();
    return static_cast<qint64>(st.st_size);
}

} // namespace

void Suche::hsb_Change()
{
    if (GetListCount(ui->lstFoundFiles) > 0 && VollbildAktiv == 0)
        ThumbNailShow();
}

void Suche::hsb_Scroll()
{
    hsb_Change();
}

void Suche::stopPreviewMedia()
{
    tryStep("stop the mp3", [&] { StopMp3(Mp3Alias); });
    tryStep("close all media", [&] { closeAllMedia(); });
    tryStep("stop the wave sound", [&] { stopWaveSound(); });
}

void Suche::ThumbNailShow()
{
    QByteArray path;
    int32_t index = 0;
    tryStep("hourglass", [&] { setBusy(true); });
    tryStep("hide the preview areas", [&] {
        ui->Anzeige1->hide();
        ui->TextBox1->hide();
    });
    tryStep("select the entry", [&] {
        index = hsbRef().Value();
        SetListIndex(ui->lstFoundFiles, index);
    });
    tryStep("read the path", [&] { path = GetListItem(ui->lstFoundFiles, hsbRef().Value()); });
    tryStep("show the size", [&] { ui->Label3->setText(formatSize(fileLength(path))); });
    tryStep("show the path", [&] { ui->Label1->setText(QString::fromUtf8(path)); });
    tryStep("show the number",
            [&] { ui->Label2->setText(QString::number(static_cast<int64_t>(hsbRef().Value()) + 1)); });
    stopPreviewMedia();
    // Every suffix test of the preview is one of the file classes ("mid" is the MIDI
    // class, "exe"/"dll" the program class, ...), so the classification is done once.
    const FileKind kind = FileClass(path);
    tryStep("start a midi sound", [&] {
        if (kind == FileKind::MidiSound)
            startMidiSound(path);
    });
    if (kind == FileKind::Program) {
        tryStep("default pointer", [&] { setBusy(false); });
        return;
    }
    if (kind == FileKind::Picture) {
        // Set when a press on another entry, served while this picture was decoded, took
        // the preview over: that preview did everything, this one leaves it alone.
        bool superseded = false;
        tryStep("keep the text box hidden", [&] { ui->TextBox1->hide(); });
        tryStep("load the picture", [&] {
            if (VollbildAktiv != 0)
                return;
            int32_t w = -1;
            int32_t h = -1;
            // Made with the screen's pixels; its size and placement stay logical.
            const QImage picture = LoadScaledPicture(path, 210, 210, w, h, 0x00FFFFFF,
                                                     ui->Anzeige1->devicePixelRatio(), &superseded);
            if (superseded)
                return;
            if (picture.isNull()) {
                ui->Anzeige1->clear();
                return;
            }
            ui->Anzeige1->setPixmap(QPixmap::fromImage(picture));
            ui->Anzeige1->resize(w, h);
        });
        if (superseded)
            return;
        tryStep("place the picture", [&] {
            // Left and top in twips: the difference rounded, halved toward zero, 20 off.
            const double tpp = twipsPerPixel();
            const int32_t left = round32(ui->Picture2->width() * tpp - ui->Anzeige1->width() * tpp) / 2 - 20;
            const int32_t top = round32(ui->Picture2->height() * tpp - ui->Anzeige1->height() * tpp) / 2 - 20;
            ui->Anzeige1->move(ui->Picture2->contentsRect().topLeft() +
                               QPoint(round32(left / tpp), round32(top / tpp)));
            ui->Anzeige1->show();
        });
    } else if (kind == FileKind::Text) {
        tryStep("empty the text box", [&] {
            ui->TextBox1->setPlainText(QString());
            ui->TextBox1->show();
        });
        tryStep("load the text", [&] { LoadTextFile(path, ui->TextBox1); });
    } else if (kind == FileKind::WaveSound) {
        tryStep("start the wave sound", [&] { startWaveSound(path); });
    } else if (kind == FileKind::Video) {
        tryStep("start the video", [&] { startVideo(path); });
    } else if (kind == FileKind::Mp3) {
        tryStep("start the mp3", [&] { PlayMp3(path, Mp3Alias); });
    }
    tryStep("default pointer", [&] { setBusy(false); });
}

void Suche::lstFoundFiles_MouseDown()
{
    tryStep("show the pressed entry", [&] { hsbRef().setValue(GetListIndex(ui->lstFoundFiles)); });
}

void Suche::lstFoundFiles_DblClick()
{
    VollbildGeladen = 0;
    QByteArray path;
    // Without a selected entry there is nothing to open.
    if (!tryStep("read the selected entry",
                 [&] { path = GetListItem(ui->lstFoundFiles, GetListIndex(ui->lstFoundFiles)); }))
        return;
    const FileKind kind = FileClass(path);
    if (kind == FileKind::Program) {
        tryStep("default pointer", [&] { setBusy(false); });
        return;
    }
    tryStep("show the path", [&] { ui->Label1->setText(QString::fromUtf8(path)); });
    if (kind == FileKind::WaveSound || kind == FileKind::MidiSound || kind == FileKind::Video ||
        kind == FileKind::Mp3)
        return; // sounds play on as the preview started them
    tryStep("stop the slideshow", [&] {
        DiaFlag = Dia::Stop;
        ui->Frame2->hide();
        ui->cmdDiaShow->setEnabled(true);
    });
    if (kind == FileKind::Other)
        return; // nothing opens for it, so the search window stays
    bool opened = false;
    if (kind == FileKind::Picture) {
        opened = tryStep("open the full-screen window", [&] {
            Form1& form = openFullScreen();
            form.prepareForPicture();
            form.showOnSearchScreen();
        });
        if (!opened) {
            // Intended: the blank before the "!" is part of the text.
            tryStep("report",
                    [&] { ui->Label1->setText(QStringLiteral("Bild kann nicht angezeigt werden !")); });
            opened = true; // the search window is hidden all the same
        }
    } else if (kind == FileKind::Text) {
        opened = tryStep("open the full-screen window with the text", [&] {
            Form1& form = openFullScreen();
            form.prepareForText(path);
            form.showOnSearchScreen();
        });
        if (!opened)
            tryStep("close the half-opened window", [&] {
                if (m_form1)
                    m_form1->close();
            });
    }
    if (opened)
        tryStep("hide the search window", [&] { hide(); });
}

Uebersicht& Suche::openOverview()
{
    if (m_overview && m_overview->lostFromScreen()) {
        // Its window was taken from the screen from outside: showing it again would show
        // nothing. It goes, and a new one takes its place.
        m_overview->deleteLater();
        m_overview = nullptr;
    }
    if (!m_overview) {
        m_overview = new Uebersicht(ui->lstFoundFiles, this);
        connect(m_overview, &Uebersicht::entrySelected, this, &Suche::Uebersicht_Select);
        connect(m_overview, &Uebersicht::entryOpened, this, &Suche::Uebersicht_Open);
    }
    if (m_overview->isMinimized())
        m_overview->setWindowState(m_overview->windowState() & ~Qt::WindowMinimized);
    m_overview->show();
    m_overview->raise();
    m_overview->activateWindow();
    return *m_overview;
}

// A click on a thumbnail previews its entry as a press on the found list does.
void Suche::Uebersicht_Select(int32_t row)
{
    tryStep("show the chosen entry", [&] { hsbRef().setValue(row); });
}

// A double click on a thumbnail opens its entry as a double click on the found list does.
void Suche::Uebersicht_Open(int32_t row)
{
    if (!tryStep("select the entry", [&] { SetListIndex(ui->lstFoundFiles, row); }))
        return;
    lstFoundFiles_DblClick();
}

Form1& Suche::openFullScreen()
{
    // One window per opening. A closed one may still have a slideshow pass on the stack
    // (it ends at its next step), so it is deleted from the event loop, not here.
    if (m_form1)
        m_form1->deleteLater();
    m_form1 = new Form1(ui->lstFoundFiles, this);
    return *m_form1;
}

void Suche::Anzeige1_Click()
{
    bool failed = false;
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!tryStep("clear the clipboard", [&] { clipboard->clear(); }))
        failed = true;
    if (!tryStep("put the picture on the clipboard", [&] {
            QPixmap picture = ui->Anzeige1->pixmap();
            if (picture.isNull())
                raiseClipboardUnavailable();
            // The preview is made with the screen's pixels; the clipboard gets it at its size
            // in logical pixels, as it is shown.
            if (picture.devicePixelRatio() != 1.0) {
                picture = picture.scaled(picture.deviceIndependentSize().toSize(), Qt::IgnoreAspectRatio,
                                         Qt::SmoothTransformation);
                picture.setDevicePixelRatio(1.0);
            }
            clipboard->setPixmap(picture);
            if (!clipboard->mimeData() || !clipboard->mimeData()->hasImage())
                raiseClipboardUnavailable();
        }))
        failed = true;
    if (failed)
        showMessage(QStringLiteral("Bild-Datei konnte nicht in Zwischenablage abgelegt werden."), appTitle(),
                    MsgIcon::None, this);
    else
        showMessage(QStringLiteral("Bild wurde in die Zwischenablage übertragen."), appTitle(), MsgIcon::None,
                    this);
}

// Drags of files are taken for the whole window before they reach any of its widgets
// (WindowFileDrops); these see the other drags that end on the window itself.
void Suche::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void Suche::dropEvent(QDropEvent* event)
{
    const QList<QByteArray> names = WindowFileDrops::localFiles(event->mimeData());
    if (!names.isEmpty())
        event->acceptProposedAction();
    filesDropped(names);
}

void Suche::filesDropped(const QList<QByteArray>& names)
{
    tryStep("disable Start", [&] { ui->Command1->setEnabled(false); });
    if (names.isEmpty())
        return;
    QByteArray name = names.first();
    tryStep("follow a symbolic link", [&] { name = followSymbolicLink(name); });
    const qsizetype blank = name.indexOf(' ');
    const QByteArray piece = blank < 0 ? name : name.left(blank);
    if (piece.right(3) == "lnk") {
        QByteArray target;
        tryStep("read the shortcut", [&] { target = ShortcutTarget(piece); });
        if (target.isEmpty())
            return; // no usable target: the lists stay where they are
        SelectPathFolder(target);
        return;
    }
    // The drive comes from the piece before the first blank, the folder from the whole name.
    SelectPathFolder(name, piece);
}

// Slideshow

void Suche::cmdDiaShow_Click()
{
    tryStep("open the slideshow panel", [&] {
        ui->Frame2->show();
        ui->cmdDiaShow->setEnabled(false);
    });
}

void Suche::Command1_Click()
{
    runSlideshow(
        DiaFlag,
        SlideshowSteps{
            .gone = [this] { return m_unloaded; },
            .last =
                [this] {
                    int32_t last = -1;
                    tryStep("read the end", [&] { last = hsbRef().Max(); });
                    return last;
                },
            .show = [this](int32_t i) { tryStep("show the next entry", [&] { hsbRef().setValue(i); }); },
            .duration =
                [this] {
                    double seconds = 0;
                    tryStep("read the display time", [&] { seconds = ui->HScroll2->value() / 10.0; });
                    return seconds;
                },
            .repeat = [this] { return ui->Check2->isChecked(); },
        });
}

void Suche::Command3_Click()
{
    DiaFlag = Dia::Next;
}

void Suche::Command4_Click()
{
    tryStep("request the stop", [&] { DiaFlag = Dia::Stop; });
    tryStep("close the panel", [&] { ui->Frame2->hide(); });
    tryStep("enable Dia-Show", [&] { ui->cmdDiaShow->setEnabled(true); });
    tryStep("back to the first entry", [&] { hsbRef().setValue(0); });
}

void Suche::HScroll2_Change()
{
    tryStep("show the display time", [&] {
        ui->Label9->setText(displayTimeText(ui->HScroll2->value()));
        widenToText(ui->Label9);
    });
}

} // namespace fotarik
