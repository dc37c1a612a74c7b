#include "suche.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <cstdlib>
#include <sys/stat.h>

#include "accessibility.h"
#include "appicon.h"
#include "clongscroll.h"
#include "dirlistbox.h"
#include "errorcatalogue.h"
#include "fonts.h"
#include "form1.h"
#include "foundlistactions.h"
#include "gdiplusresize.h"
#include "globals.h"
#include "scrollbarsteps.h"
#include "trystep.h"
#include "twips.h"
#include "ui_suche.h"
#include "windowfiledrops.h"

namespace fotarik {

QString composeSearchSpec(const std::array<bool, 23>& ticked)
{
    QString pattern;
    for (size_t i = 0; i < ticked.size(); ++i) {
        if (!ticked[i])
            continue;
        // "HTM, HTML" names two extensions; one element each lets the box find them.
        for (const QString& ext : QString::fromLatin1(TypeCaptions[i]).split(QStringLiteral(", ")))
            pattern += QStringLiteral("*.") + ext + u';';
    }
    if (pattern.endsWith(u';'))
        pattern.chop(1);
    return pattern;
}

QByteArray followSymbolicLink(const QByteArray& path)
{
    struct stat st
    {
    };
    if (::lstat(path.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    std::unique_ptr<char, void (*)(void*)> resolved(::realpath(path.constData(), nullptr), &std::free);
    if (!resolved)
        return path; // a dangling link: its own name stands
    return QByteArray(resolved.get()) + (path.endsWith('/') ? "/" : "");
}

QString Suche::nur_Pfad(const QString& Dateiname)
{
    const qsizetype at = Dateiname.lastIndexOf(u'/');
    return at < 0 ? QString() : Dateiname.left(at + 1);
}

QByteArray Suche::nur_Pfad(const QByteArray& Dateiname)
{
    const qsizetype at = Dateiname.lastIndexOf('/');
    return at < 0 ? QByteArray() : Dateiname.left(at + 1);
}

Suche::Suche(const QString& commandLine, QWidget* parent) : Suche(QFile::encodeName(commandLine), parent) {}

Suche::Suche(const QByteArray& commandLine, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::Suche>())
{
    ui->setupUi(this);
    applyDesignFonts(this);
    chkP = {ui->chkP_0,  ui->chkP_1,  ui->chkP_2,  ui->chkP_3,  ui->chkP_4,  ui->chkP_5,
            ui->chkP_6,  ui->chkP_7,  ui->chkP_8,  ui->chkP_9,  ui->chkP_10, ui->chkP_11,
            ui->chkP_12, ui->chkP_13, ui->chkP_14, ui->chkP_15, ui->chkP_16, ui->chkP_17,
            ui->chkP_18, ui->chkP_19, ui->chkP_20, ui->chkP_21, ui->chkP_22};
    setWindowIcon(appIcon());
    ui->cmdSearch->setIcon(style()->standardIcon(QStyle::SP_FileDialogContentsView));
    ui->cmdAbbruch->setIcon(style()->standardIcon(QStyle::SP_BrowserStop));
    ui->cmdDiaShow->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    auto* label1 = ui->Label1;
    QPalette p = label1->palette();
    p.setColor(QPalette::Window, p.color(QPalette::Base));
    p.setColor(QPalette::WindowText, p.color(QPalette::Text));
    label1->setPalette(p);
    label1->setAutoFillBackground(true);
    dockBottomPanel();
    // Positions inside a panel count from its client area, inside its border. A frame's
    // client area is the whole frame: its caption and border are drawn over it.
    for (QFrame* container : {ui->Picture1, ui->Picture2, ui->PictureUnten}) {
        const QPoint clientOrigin = container->contentsRect().topLeft();
        for (QWidget* child : container->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            child->move(child->pos() + clientOrigin);
    }
    ui->Anzeige1->setCursor(Qt::PointingHandCursor);
    for (QLabel* label : findChildren<QLabel*>())
        if (!label->wordWrap() && !label->text().isEmpty())
            widenToText(label);

    for (size_t i = 0; i < chkP.size(); ++i)
        connect(chkP[i], &QCheckBox::toggled, this, [this, i] { chkP_Click(static_cast<int>(i)); });
    connect(ui->Command2, &QPushButton::clicked, this, &Suche::Command2_Click);
    connect(ui->drvList, &DriveListBox::Change, this, &Suche::drvList_Change);
    connect(ui->dirList, &DirListBox::Change, this, &Suche::dirList_Change);
    connect(ui->dirList, &DirListBox::MouseUp, this, &Suche::dirList_MouseUp);
    connect(ui->cmdSearch, &QToolButton::clicked, this, &Suche::cmdSearch_Click);
    connect(ui->cmdAbbruch, &QToolButton::clicked, this, &Suche::cmdAbbruch_Click);
    connect(ui->lstFoundFiles, &ListBox::MouseDown, this, &Suche::lstFoundFiles_MouseDown);
    connect(ui->lstFoundFiles, &ListBox::DblClick, this, &Suche::lstFoundFiles_DblClick);
    auto* foundListActions = new FoundListActions(
        ui->lstFoundFiles, [this] { lstFoundFiles_DblClick(); }, this);
    foundListActions->addMenuEntry(overviewText(), [this] { openOverview(); });
    auto* overviewKey = new QShortcut(QKeySequence(Qt::Key_F3), this);
    connect(overviewKey, &QShortcut::activated, this, [this] { openOverview(); });
    connect(ui->cmdDiaShow, &QToolButton::clicked, this, &Suche::cmdDiaShow_Click);
    connect(ui->Command1, &QPushButton::clicked, this, &Suche::Command1_Click);
    connect(ui->Command3, &QPushButton::clicked, this, &Suche::Command3_Click);
    connect(ui->Command4, &QPushButton::clicked, this, &Suche::Command4_Click);
    connect(ui->HScroll2, &QScrollBar::valueChanged, this, &Suche::HScroll2_Change);

    nameForAssistiveTechnology();
    // Both scroll bars take the focus and step with the keys and the wheel.
    stepWithKeysAndWheel(ui->HScroll1);
    stepWithKeysAndWheel(ui->HScroll2);
    // Files dropped anywhere on the window, also on its text boxes, are the window's drop;
    // a hit dragged from the found list is no drop on it.
    auto* drops = new WindowFileDrops(this, [this](const QList<QByteArray>& names) { filesDropped(names); });
    drops->refuseDragsFrom(ui->lstFoundFiles);

    ui->Picture2->installEventFilter(this);
    ui->txtSearchSpec->installEventFilter(this);
    ui->drvList->installEventFilter(this);
    ui->Anzeige1->installEventFilter(this);
    for (QToolButton* b : {ui->cmdSearch, ui->cmdAbbruch}) {
        b->setMouseTracking(true);
        b->installEventFilter(this);
    }

    // Like the classic lists, both start at the program's current folder and its volume.
    tryStep("start at the current folder", [&] {
        const QByteArray cwd = QFile::encodeName(QDir::currentPath());
        const QSignalBlocker block(ui->drvList);
        ui->drvList->setDriveBytes(cwd);
        ui->dirList->setPathBytes(cwd);
    });

    Form_Load(commandLine);
    // The focus starts on the first control of the tab order that takes it: the pattern box
    // (the panels before it take none here).
    ui->txtSearchSpec->setFocus(Qt::OtherFocusReason);
}

// The controls without a caption of their own are named by the label beside them.
void Suche::nameForAssistiveTechnology()
{
    for (QWidget* box : {static_cast<QWidget*>(ui->Picture1), static_cast<QWidget*>(ui->Picture2),
                         static_cast<QWidget*>(ui->PictureUnten)})
        announceAsPanel(box);
    nameControlsForAssistiveTechnology(
        this, {{QStringLiteral("txtSearchSpec"), QStringLiteral("Suchkriterium")},
               {QStringLiteral("lstFoundFiles"), QStringLiteral("Gefundene Dateien")},
               {QStringLiteral("drvList"), QStringLiteral("Laufwerk")},
               {QStringLiteral("dirList"), QStringLiteral("Verzeichnis")},
               {QStringLiteral("Check2"), QStringLiteral("Endlosanzeige")},
               {QStringLiteral("HScroll2"), QStringLiteral("Anzeigedauer")},
               {QStringLiteral("Anzeige1"), QStringLiteral("Vorschaubildfeld")}});
}

QByteArray Suche::currentFolderOfDrive(const QByteArray& mountPoint)
{
    // Each drive has a current folder: for the volume holding the program's current
    // folder that folder, for every other volume its root.
    const QByteArray cwd = QFile::encodeName(QDir::currentPath());
    const std::vector<Volume>& volumes = ui->drvList->volumes();
    const int cwdVolume = volumeIndexOf(volumes, cwd);
    return cwdVolume >= 0 && volumes[static_cast<size_t>(cwdVolume)].mountPoint == mountPoint ? cwd
                                                                                              : mountPoint;
}

Suche::~Suche()
{
    delete m_overview;
    delete m_form1;
}

void Suche::Form_Load(const QByteArray& commandLine)
{
    tryStep("centre the window", [&] {
        const QRect screen = this->screen() ? this->screen()->geometry() : QRect(0, 0, 1024, 768);
        move(screen.left() + (screen.width() - width()) / 2, screen.top() + (screen.height() - height()) / 2);
    });
    tryStep("prepare the preview area", [&] { m_gradientShown = true; });
    tryStep("paint the preview background", [&] { ui->Picture2->update(); });
    tryStep("create hsb", [&] {
        hsb = new CLongScroll(this);
        hsb->setObjectName(QStringLiteral("hsb"));
        hsb->setClient(ui->HScroll1);
        connect(hsb, &CLongScroll::Change, this, &Suche::hsb_Change);
        connect(hsb, &CLongScroll::Scroll, this, &Suche::hsb_Scroll);
    });
    tryStep("set the slideshow speed bar", [&] {
        ui->HScroll2->setMinimum(1);
        ui->HScroll2->setMaximum(200);
        ui->HScroll2->setValue(10);
        ui->HScroll2->setPageStep(10);
        ui->HScroll2->setSingleStep(1);
    });
    // The caption "Vorschaubild" is printed with the background (paintPreviewBackground).
    tryStep("store the screen values", [&] {
        ScreenTwipsX = static_cast<float>(twipsPerPixel());
        VScrollWidth = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    });
    tryStep("match label backgrounds", [&] {
        const QColor back = palette().color(QPalette::Window);
        for (QWidget* w : {static_cast<QWidget*>(ui->lblCount), static_cast<QWidget*>(ui->lblCriteria),
                           static_cast<QWidget*>(ui->lblfound), static_cast<QWidget*>(ui->Picture1)}) {
            QPalette pal = w->palette();
            pal.setColor(QPalette::Window, back);
            w->setPalette(pal);
            w->setAutoFillBackground(true);
        }
    });
    applyCommandLine(commandLine);
    tryStep("start the imaging session", [&] { ImagingToken = StartGdiPlus(); });
}

void Suche::applyCommandLine(const QByteArray& commandLine)
{
    QByteArray argument = commandLine;
    argument.replace('"', QByteArray());
    const auto openHome = [&] {
        const QByteArray home = QFile::encodeName(QDir::homePath());
        tryStep("select the home drive", [&] { ui->drvList->setDriveBytes(home); });
        tryStep("open the home folder", [&] { ui->dirList->setPathBytes(home); });
    };
    if (commandLine.isEmpty()) {
        openHome();
        return;
    }
    // Whether a name is a folder is told from the argument as given, before it is joined
    // to the current folder (whose names may hold a dot).
    const bool givenAsFolder = !argument.contains('.') && !argument.endsWith('/');
    tryStep("resolve a relative path", [&] {
        if (!argument.startsWith('/')) {
            QByteArray folder = QFile::encodeName(QDir::currentPath());
            if (!folder.endsWith('/'))
                folder += '/';
            argument = folder + argument;
        }
        argument = normalisedPath(argument);
    });
    if (argument.right(3) == "lnk") {
        tryStep("read the shortcut", [&] { argument = ShortcutTarget(argument); });
        if (argument.isEmpty()) {
            // No usable target: start as without an argument.
            openHome();
            return;
        }
    } else {
        // A symbolic link is this platform's shortcut: follow it to its target, which
        // then tells by itself whether it is a folder.
        const QByteArray given = argument;
        tryStep("follow a symbolic link", [&] { argument = followSymbolicLink(argument); });
        if (argument == given && givenAsFolder && !argument.endsWith('/'))
            argument += '/';
    }
    SelectPathFolder(argument);
}

void Suche::SelectPathFolder(QByteArray path, const QByteArray& driveText)
{
    // The drive of a path is the volume whose mount point prefixes it.
    tryStep("select the drive", [&] { ui->drvList->setDriveBytes(driveText.isNull() ? path : driveText); });
    tryStep("mark a folder", [&] {
        if (!path.contains('.') && !path.endsWith('/'))
            path += '/';
    });
    tryStep("open the folder", [&] { ui->dirList->setPathBytes(nur_Pfad(path)); });
}

// Type selection

void Suche::chkP_Click(int)
{
    std::array<bool, 23> ticked{};
    for (size_t i = 0; i < chkP.size(); ++i)
        ticked[i] = chkP[i]->isChecked();
    ui->txtSearchSpec->setText(composeSearchSpec(ticked));
}

void Suche::Command2_Click()
{
    if (ui->Command2->text() == QLatin1String("alle")) {
        for (QCheckBox* box : chkP)
            box->setChecked(true);
        ui->Command2->setText(QStringLiteral("keine"));
    } else {
        ui->Command2->setText(QStringLiteral("alle"));
        ui->txtSearchSpec->setText(QString());
        for (QCheckBox* box : chkP)
            box->setChecked(false);
    }
}

// Drive and folder lists

void Suche::drvList_Change()
{
    // Going back to the folder list's drive raises this change again; once is enough.
    if (m_driveChangeDepth > 1)
        return;
    ++m_driveChangeDepth;
    const bool moved = tryStep("open the drive", [&] {
        // A drive that does not answer in time (a hung network or user-space mount) is
        // not ready, like one without a medium: the folder list never waits on it.
        const QByteArray drive = ui->drvList->driveBytes();
        if (!volumeReady(drive))
            raiseDeviceUnavailable();
        ui->dirList->setPathBytes(currentFolderOfDrive(drive));
        ui->dirList->Refresh();
    });
    if (!moved)
        tryStep("back to the folder's drive", [&] { ui->drvList->setDriveBytes(ui->dirList->pathBytes()); });
    --m_driveChangeDepth;
}

void Suche::drvList_GotFocus()
{
    tryStep("re-read the folder tree", [&] { ui->dirList->Refresh(); });
}

void Suche::dirList_Change()
{
    tryStep("follow with the file list", [&] { ui->filList->setPathBytes(ui->dirList->pathBytes()); });
}

void Suche::dirList_MouseUp()
{
    tryStep("open the clicked folder", [&] {
        const QByteArray target = ui->dirList->listBytes(ui->dirList->ListIndex());
        if (target != ui->dirList->pathBytes())
            ui->dirList->setPathBytes(target);
    });
}

// Window events

CLongScroll& Suche::hsbRef() const
{
    if (!hsb)
        raiseObjectVariableNotSet();
    return *hsb;
}

void Suche::setBusy(bool busy)
{
    if (busy)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

// The bottom panel is docked along the window's bottom edge over its whole width, and the
// path line spans it (its designed width holds a single character).
void Suche::dockBottomPanel()
{
    QWidget* panel = ui->PictureUnten;
    panel->setGeometry(0, height() - panel->height(), width(), panel->height());
    ui->Label1->resize(panel->width() - ui->Label1->x(), ui->Label1->height());
}

void Suche::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    tryStep("dock the bottom panel", [&] { dockBottomPanel(); });
}

void Suche::closeEvent(QCloseEvent* event)
{
    if (m_searching) {
        // The walk uses this window's controls: end it first, close when it has returned.
        SearchCancelled = 1;
        m_closeRequested = true;
        event->ignore();
        return;
    }
    tryStep("release hsb", [&] {
        delete hsb;
        hsb = nullptr;
    });
    tryStep("press Stop", [&] { ui->Command4->click(); });
    tryStep("end the imaging session", [&] { StopGdiPlus(ImagingToken); });
    tryStep("close the full-screen window", [&] {
        if (m_form1)
            m_form1->close();
    });
    tryStep("close the overview", [&] {
        if (m_overview)
            m_overview->close();
    });
    m_unloaded = true;
    event->accept();
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
}

bool Suche::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui->Picture2 && event->type() == QEvent::Paint) {
        paintPreviewBackground(ui->Picture2);
        return false;
    }
    if (watched == ui->txtSearchSpec && event->type() == QEvent::FocusIn) {
        // After the mouse press that gave the focus has placed the cursor.
        QTimer::singleShot(0, ui->txtSearchSpec, &QLineEdit::selectAll);
    } else if (watched == ui->drvList && event->type() == QEvent::FocusIn) {
        drvList_GotFocus();
    } else if (watched == ui->cmdSearch && event->type() == QEvent::MouseMove) {
        ui->cmdSearch->setToolTip(QStringLiteral("Dateien mit den gewählten Suchkriterien werden gesucht."));
    } else if (watched == ui->cmdAbbruch && event->type() == QEvent::MouseMove) {
        ui->cmdAbbruch->setToolTip(QStringLiteral("Suchlauf abbrechen"));
    } else if (watched == ui->Anzeige1 && event->type() == QEvent::MouseButtonPress) {
        m_pictureClickArmed = static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton;
    } else if (watched == ui->Anzeige1 && event->type() == QEvent::MouseButtonRelease) {
        // A click is a left press and release on the picture: not another button, and not
        // a press dragged off the picture before its release.
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const bool click = m_pictureClickArmed && mouse->button() == Qt::LeftButton &&
                           ui->Anzeige1->rect().contains(mouse->position().toPoint());
        m_pictureClickArmed = false;
        if (click)
            Anzeige1_Click();
    }
    return QWidget::eventFilter(watched, event);
}

void Suche::paintPreviewBackground(QWidget* area)
{
    if (!m_gradientShown)
        return;
    QPainter painter(area);
    const QRect r = static_cast<QFrame*>(area)->contentsRect();
    painter.translate(r.topLeft());
    // 256 bands of 2 units each in a scale 510 units high: black at the top, pure green
    // at the bottom.
    const double unit = r.height() / 510.0;
    for (int i = 0; i < 256; ++i)
        painter.fillRect(QRectF(-1, 2 * i * unit, r.width() + 2, 2 * unit + 0.5), QColor(0, i, 0));
    // The caption is printed where the last band left the pen: past the lower right
    // end of the area, so it is clipped away just as the bands' overshoot is.
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(QPointF(area->width() * twipsPerPixel(), 512 * unit + painter.fontMetrics().ascent()),
                     QStringLiteral("Vorschaubild"));
}

} // namespace fotarik
