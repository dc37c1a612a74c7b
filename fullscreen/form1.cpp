#include "form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPixmap>
#include <QScreen>

#include "accessibility.h"
#include "appicon.h"
#include "clongscroll.h"
#include "fileclass.h"
#include "fonts.h"
#include "gdiplusresize.h"
#include "globals.h"
#include "modlargelist.h"
#include "modul1.h"
#include "prefetch.h"
#include "slideshow.h"
#include "trystep.h"
#include "twips.h"
#include "ui_form1.h"
#include "vbmath.h"

namespace fotarik {

namespace {

// The busy pointer covers a display, also when it ends early.
class BusyPointer
{
public:
    explicit BusyPointer(QWidget* window) : m_window(window) { m_window->setCursor(Qt::WaitCursor); }
    ~BusyPointer()
    {
        if (m_window) // the events served while a picture is decoded may have deleted it
            m_window->unsetCursor();
    }
    BusyPointer(const BusyPointer&) = delete;
    BusyPointer& operator=(const BusyPointer&) = delete;

private:
    QPointer<QWidget> m_window;
};

constexpr uint32_t White = 0x00FFFFFF;

} // namespace

Form1::Form1(QObject* foundList, QWidget* searchWindow, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::Form1>()), m_prefetch(std::make_unique<PicturePrefetch>()),
      m_foundList(foundList), m_searchWindow(searchWindow)
{
    ui->setupUi(this);

    applyDesignFonts(this);
    // The program's icon, as the search window carries it.
    setWindowIcon(appIcon());
    announceAsPanel(ui->Picture1);
    nameControlsForAssistiveTechnology(this, {{QStringLiteral("HScroll2"), QStringLiteral("Anzeigedauer")}});

    // The frame is drawn under everything and lets clicks through to the panel, like a shape.
    ui->Shape1->lower();
    ui->Shape1->setAttribute(Qt::WA_TransparentForMouseEvents);
    // Clicks on the picture and on the panel's labels are theirs: they must not reach the
    // window or panel background, where a click toggles the panel.
    for (QWidget* w : {static_cast<QWidget*>(ui->Image1), static_cast<QWidget*>(ui->Picture1),
                       static_cast<QWidget*>(ui->Label1), static_cast<QWidget*>(ui->Label2),
                       static_cast<QWidget*>(ui->Label3), static_cast<QWidget*>(ui->Label9)})
        w->setAttribute(Qt::WA_NoMousePropagation);
    ui->Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // The substitute fonts are not as narrow as the designed ones: a label grows rather
    // than cutting its caption off.
    for (QLabel* label : {ui->Label1, ui->Label2, ui->Label3, ui->Label9})
        widenToText(label);

    ui->Image1->installEventFilter(this);
    ui->TextBox1->viewport()->installEventFilter(this);
    ui->Picture1->installEventFilter(this);

    connect(ui->Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(ui->Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(ui->Command4, &QPushButton::clicked, this, &Form1::Command4_Click);

    Form_Load();
}

Form1::~Form1()
{
    m_prefetch->cancel();
    // Deleted without having been closed (program end): the imaging session is still ours.
    if (!m_closed && ImagingToken != 0)
        tryStep("end imaging session", [&] { StopGdiPlus(ImagingToken); });
}

void Form1::setPrefetchEnabled(bool enabled)
{
    m_prefetch->setEnabled(enabled);
}

bool Form1::nextPicturePrepared() const
{
    return m_prefetch->ready();
}

void Form1::prepareForPicture()
{
    ui->TextBox1->hide();
}

void Form1::prepareForText(const QByteArray& path)
{
    ui->TextBox1->show();
    ui->Image1->hide();
    LoadTextFile(path, ui->TextBox1);
}

void Form1::showOnSearchScreen()
{
    if (m_searchWindow) {
        if (QScreen* screen = m_searchWindow->screen())
            move(screen->availableGeometry().topLeft());
    }
    showMaximized();
}

QString Form1::Nurdatei(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? path : path.mid(slash + 1);
}

QString Form1::informationLine(const QString& typeWord, int64_t i, int64_t n, const QByteArray& path)
{
    return typeWord + QString::number(i + 1) + QStringLiteral(" von ") + QString::number(n) +
           QStringLiteral("     File: ") + QString::fromUtf8(path);
}

// ---- load, resize, close -------------------------------------------------------------

void Form1::Form_Load()
{
    tryStep("key preview", [&] { qApp->installEventFilter(this); });

    hsb = new CLongScroll(this);
    connect(hsb, &CLongScroll::Change, this, &Form1::Anzeige);
    connect(hsb, &CLongScroll::Scroll, this, &Form1::Anzeige);
    tryStep("attach scroll bar", [&] { hsb->setClient(ui->HScroll1); });

    tryStep("hsb.Min", [&] { hsb->setMin(0); });
    tryStep("hsb.Max", [&] { hsb->setMax(1); });
    tryStep("hsb.SmallChange", [&] { hsb->setSmallChange(1); });
    tryStep("hsb.Value", [&] { hsb->setValue(1); });
    tryStep("hsb.Max from list", [&] { hsb->setMax(GetListCount(m_foundList) - 1); });
    tryStep("hsb.LargeChange", [&] { hsb->setLargeChange(largeChangeFor(hsb->Max())); });
    tryStep("hsb.Value from list", [&] { hsb->setValue(GetListIndex(m_foundList)); });

    tryStep("duration bar", [&] {
        ui->HScroll2->setMinimum(1);
        ui->HScroll2->setPageStep(10);
        ui->HScroll2->setSingleStep(1);
    });
    tryStep("place scroll bar", [&] {
        const double tpp = twipsPerPixel();
        ui->HScroll1->move(round32((outerWidthTwips() - ui->HScroll1->width() * tpp - 150) / tpp),
                           ui->HScroll1->y());
    });

    if (VollbildGeladen == 0)
        VollbildAktiv = 1;
    VollbildGeladen = 1;

    tryStep("start imaging session", [&] { ImagingToken = StartGdiPlus(); });

    // Connected only now: the minimum set above moves the bar, and the label keeps its
    // design caption until the user changes the duration.
    connect(ui->HScroll2, &QScrollBar::valueChanged, this, &Form1::HScroll2_Change);
}

double Form1::outerWidthTwips() const
{
    return frameGeometry().width() * twipsPerPixel();
}

void Form1::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Form_Resize();
}

void Form1::Form_Resize()
{
    const double tpp = twipsPerPixel();
    // The panel is docked along the bottom edge over the whole width, shown or not.
    ui->Picture1->setGeometry(0, height() - ui->Picture1->height(), width(), ui->Picture1->height());

    tryStep("place scroll bar", [&] {
        ui->HScroll1->move(round32((outerWidthTwips() - ui->HScroll1->width() * tpp - 150) / tpp),
                           ui->HScroll1->y());
    });
    tryStep("text area position", [&] { ui->TextBox1->move(15, 15); });
    // A client area smaller than the margins leaves the text area empty instead of negative.
    tryStep("text area size", [&] {
        ui->TextBox1->resize(std::max(0, width() - 30), std::max(0, height() - ui->Picture1->height() - 30));
    });
    computePicArea();
    tryStep("display", [&] { Anzeige(); });
    tryStep("frame width", [&] {
        ui->Shape1->resize(std::max(0, round32((outerWidthTwips() - 100) / tpp)), ui->Shape1->height());
    });
}

void Form1::computePicArea()
{
    const int panel = ui->Picture1->isHidden() ? 0 : ui->Picture1->height();
    PicAreaHeight = height() - panel - 5;
    PicAreaWidth = width() - 5;
}

void Form1::closeEvent(QCloseEvent* event)
{
    event->accept();
    if (m_closed)
        return;
    // Set first: a slideshow pass waiting under this handler ends at its next cycle.
    m_closed = true;
    m_prefetch->cancel();
    tryStep("end imaging session", [&] { StopGdiPlus(ImagingToken); });
    VollbildAktiv = 0;
    tryStep("hand position back", [&] { SetListIndex(m_foundList, hsb->Value()); });
    tryStep("stop slideshow", [&] { Command4_Click(); });
    tryStep("show search window", [&] {
        if (m_searchWindow)
            m_searchWindow->show();
    });
}

// ---- panel toggle, double clicks, key preview ----------------------------------------

void Form1::togglePanel()
{
    ui->Picture1->setVisible(ui->Picture1->isHidden());
    computePicArea();
    tryStep("display", [&] { Anzeige(); });
}

void Form1::mousePressEvent(QMouseEvent* event)
{
    m_windowClickArmed = event->button() == Qt::LeftButton && childAt(event->position().toPoint()) == nullptr;
}

void Form1::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click = m_windowClickArmed && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    m_windowClickArmed = false;
    if (click) {
        // When this click brings the panel up under the mouse, the second click of a
        // double click lands on the panel: it is still the window's double click.
        if (ui->Picture1->isHidden())
            m_windowClickTime.start();
        else
            m_windowClickTime.invalidate();
        togglePanel();
    }
}

void Form1::mouseDoubleClickEvent(QMouseEvent* event)
{
    // A double click on the bare window is no double click of its own: its first click has
    // toggled the panel, and its second one must not toggle it back.
    m_windowClickArmed = false;
    // The first click of a double click on the panel hides it, so the window system hands
    // the second click to the window where the panel was: still the panel's double click.
    const QPoint pos = event->position().toPoint();
    const bool panelDoubleClick = m_panelClickTime.isValid() &&
                                  m_panelClickTime.elapsed() <= QApplication::doubleClickInterval() &&
                                  m_panelRectAtClick.contains(pos) && childAt(pos) == nullptr;
    m_panelClickTime.invalidate();
    if (panelDoubleClick)
        close();
}

bool Form1::handlePanelMouse(QEvent* event)
{
    auto* me = static_cast<QMouseEvent*>(event);
    const QPoint pos = me->position().toPoint();
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        m_panelClickArmed = me->button() == Qt::LeftButton && ui->Picture1->childAt(pos) == nullptr;
        return false;
    case QEvent::MouseButtonRelease: {
        const bool click =
            m_panelClickArmed && me->button() == Qt::LeftButton && ui->Picture1->rect().contains(pos);
        m_panelClickArmed = false;
        if (click) {
            m_panelRectAtClick = ui->Picture1->geometry();
            m_panelClickTime.start();
            togglePanel();
        }
        return click;
    }
    case QEvent::MouseButtonDblClick: {
        m_panelClickArmed = false;
        if (ui->Picture1->childAt(pos) != nullptr)
            return false;
        const bool windowDoubleClick =
            m_windowClickTime.isValid() && m_windowClickTime.elapsed() <= QApplication::doubleClickInterval();
        m_windowClickTime.invalidate();
        if (!windowDoubleClick)
            close(); // the window's double click has toggled the panel once, and that is all
        return true;
    }
    default:
        return false;
    }
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::KeyPress)
        return handleKeyDown(watched, static_cast<QKeyEvent*>(event));
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease &&
        type != QEvent::MouseButtonDblClick)
        return false;
    if (watched == ui->Picture1)
        return handlePanelMouse(event);
    if (type == QEvent::MouseButtonDblClick &&
        (watched == ui->Image1 || watched == ui->TextBox1->viewport())) {
        close();
        return true;
    }
    return false;
}

bool Form1::handleKeyDown(QObject* receiver, QKeyEvent* event)
{
    auto* widget = qobject_cast<QWidget*>(receiver);
    if (m_closed || widget == nullptr || widget->window() != this)
        return false;
    const int key = event->key();
    // Focus moves are not key-downs of the window.
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab)
        return false;

    if (key == Qt::Key_Right) {
        tryStep("next entry", [&] {
            if (hsb->Value() < hsb->Max())
                hsb->setValue(hsb->Value() + 1);
        });
    } else if (key == Qt::Key_Left) {
        tryStep("previous entry", [&] {
            if (hsb->Value() > 0)
                hsb->setValue(hsb->Value() - 1);
        });
    }

    QPointer<Form1> self(this);
    QCoreApplication::processEvents();
    if (!self)
        return true;

    if (key == Qt::Key_Escape) {
        close();
        return true;
    }
    // The key-down is consumed, but the character the key produces still reaches the text
    // area: typing keeps working there, arrows and the like do not act a second time.
    const bool textArea = receiver == ui->TextBox1 || receiver == ui->TextBox1->viewport();
    const bool character = !event->text().isEmpty() && key != Qt::Key_Delete &&
                           !(event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier));
    // So do the text box's own clipboard keys.
    const bool clipboard = event->matches(QKeySequence::Copy) || event->matches(QKeySequence::SelectAll) ||
                           event->matches(QKeySequence::Cut) || event->matches(QKeySequence::Paste);
    return !(textArea && (character || clipboard));
}

// ---- display -------------------------------------------------------------------------

void Form1::Anzeige()
{
    if (hsb == nullptr)
        return;
    BusyPointer busy(this);
    const int64_t i = hsb->Value();
    const int64_t n = int64_t(hsb->Max()) + 1;

    QByteArray path;
    tryStep("read entry", [&] { path = GetListItem(m_foundList, static_cast<int32_t>(i)); });
    ui->Image1->hide();
    ui->TextBox1->hide();

    switch (FileClass(path)) {
    case FileKind::Picture:
        // A newer display took over while the picture was decoded: it did everything.
        if (!showPicture(path, i, n))
            return;
        break;
    case FileKind::Text:
        ui->Image1->hide();
        // Shown again (a resize, the panel toggled): the text in the box stays as it is.
        if (!textFileShown(path, ui->TextBox1))
            ui->TextBox1->clear();
        ui->TextBox1->show();
        // A closed window only updates its line: nobody sees the text any more.
        if (!m_closed)
            tryStep("load text", [&] { LoadTextFile(path, ui->TextBox1); });
        setLabel1(QStringLiteral(" *** Textdatei *** "), i, n, path);
        break;
    case FileKind::Video:
        setLabel1(QStringLiteral(" *** AVI-Datei *** "), i, n, path);
        break;
    case FileKind::WaveSound:
    case FileKind::MidiSound:
        setLabel1(QStringLiteral(" *** Sounddatei *** "), i, n, path);
        break;
    case FileKind::Mp3:
        setLabel1(QStringLiteral(" *** MP3-Datei *** "), i, n, path);
        break;
    case FileKind::Program:
    case FileKind::Other:
        break;
    }
    prefetchNext(i);
}

void Form1::prefetchNext(int64_t i)
{
    if (m_closed || !m_prefetch->enabled() || PicAreaWidth <= 0 || PicAreaHeight <= 0 || i + 1 > hsb->Max())
        return;
    QByteArray next;
    if (!tryStep("read next entry", [&] { next = GetListItem(m_foundList, static_cast<int32_t>(i + 1)); }))
        return;
    if (FileClass(next) == FileKind::Picture)
        m_prefetch->start(next, PicAreaWidth, PicAreaHeight, White, devicePixelRatio());
}

void Form1::setLabel1(const QString& typeWord, int64_t i, int64_t n, const QByteArray& path)
{
    ui->Label1->setText(informationLine(typeWord, i, n, path));
    ui->Label1->adjustSize();
}

bool Form1::showPicture(const QByteArray& path, int64_t i, int64_t n)
{
    // The window may be closed, and even deleted, by the events served during the decode.
    const QPointer<Form1> self(this);
    bool superseded = false;
    // Any failure from here on ends the display; what it left behind stays.
    tryStep("display the picture", [&] {
        ui->TextBox1->hide();
        ui->Image1->hide();
        // While the client area is smaller than its margins there is no box to fit into;
        // the next resize shows the picture again.
        if (PicAreaWidth > 0 && PicAreaHeight > 0 && !m_closed) {
            int32_t w = -1;
            int32_t h = -1;
            // Made with the screen's pixels; ScaledWidth/ScaledHeight and the placement stay logical.
            const qreal ratio = devicePixelRatio();
            std::optional<QImage> prepared =
                m_prefetch->take(path, PicAreaWidth, PicAreaHeight, White, ratio, &superseded);
            if (!self || superseded)
                return;
            QImage picture = prepared ? std::move(*prepared)
                                      : LoadScaledPicture(path, PicAreaWidth, PicAreaHeight, w, h, White,
                                                          ratio, &superseded);
            if (!self || superseded)
                return;
            const bool shown = !picture.isNull();
            const QSize size = picture.deviceIndependentSize().toSize();
            // Handed over, not copied: the pixmap keeps the picture's pixels as they came.
            ui->Image1->setPixmap(QPixmap::fromImage(std::move(picture)));
            if (shown)
                ui->Image1->resize(size);
            const int32_t left = round32(double(width()) - double(ScaledWidth)) / 2;
            const int32_t top =
                ui->Picture1->isHidden()
                    ? round32(double(height()) - double(ScaledHeight)) / 2
                    : round32(double(height()) - double(ScaledHeight) - double(ui->Picture1->height())) / 2;
            ui->Image1->move(left, top);
            ui->Image1->show();
        }
        setLabel1(QStringLiteral("Bild: "), i, n, path);
    });
    return self && !superseded;
}

// ---- slideshow -----------------------------------------------------------------------

void Form1::Command1_Click()
{
    // The window may be closed, and even deleted, by the events served during a wait.
    QPointer<Form1> self(this);
    runSlideshow(DiaFlag,
                 SlideshowSteps{
                     .gone = [this, self] { return !self || m_closed; },
                     .last = [this] { return hsb->Max(); },
                     .show = [this](int32_t i) { tryStep("show position", [&] { hsb->setValue(i); }); },
                     .duration = [this] { return ui->HScroll2->value() / 10.0; },
                     .repeat = [this] { return ui->Check1->checkState() == Qt::Checked; },
                 });
}

void Form1::Command3_Click()
{
    DiaFlag = Dia::Next;
}

void Form1::Command4_Click()
{
    DiaFlag = Dia::Stop;
    tryStep("show first entry", [&] { hsb->setValue(0); });
}

void Form1::HScroll2_Change()
{
    ui->Label9->setText(displayTimeText(ui->HScroll2->value()));
    ui->Label9->adjustSize();
}

} // namespace fotarik
