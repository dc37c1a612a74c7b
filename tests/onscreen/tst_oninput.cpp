// The search window under a real pointer and keyboard on an X server (run-on-x.sh): the
// focus it starts with, a file dragged from another window onto its text preview, and a
// hit dragged a little inside its own found list. The pointer and the keys come from the
// X server's test extension (xdotool), so the drags go through the platform's own
// drag-and-drop protocol.

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QDrag>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <functional>

#include "budgets.h"
#include "capturingmessageseam.h"
#include "dirlistbox.h"
#include "listbox.h"
#include "mediacommands.h"
#include "messagebox.h"
#include "modlargelist.h"
#include "recordingbackend.h"
#include "suche.h"
#include "testfiles.h"
#include "textview.h"
#include "ui_suche.h"
#include "workermain.h"

using namespace fotarik;

namespace {

QString xdotool()
{
    return QStandardPaths::findExecutable(QStringLiteral("xdotool"));
}

bool runXdotool(const QStringList& args)
{
    QProcess p;
    p.start(xdotool(), args);
    return p.waitForFinished(budget::ms(budget::TestWait)) && p.exitStatus() == QProcess::NormalExit &&
           p.exitCode() == 0;
}

QStringList moveTo(QPoint global)
{
    return {QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(global.x()),
            QString::number(global.y())};
}

// Pointer and key actions, each sent when the one before has shown its effect. It runs
// from a timer, so it goes on inside the nested event loop of a drag as well.
class InputScript : public QObject
{
public:
    struct Step
    {
        QStringList xdotool;
        std::function<bool()> done;
        const char* what;
    };

    explicit InputScript(QList<Step> steps) : m_steps(std::move(steps))
    {
        connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
        m_clock.start();
        m_timer.start(20);
    }

    ~InputScript() override
    {
        if (!finished())
            letGo();
    }

    bool finished() const { return m_next >= m_steps.size() || !m_failure.isEmpty(); }
    QString failure() const { return m_failure; }

private:
    void tick()
    {
        if (finished()) {
            m_timer.stop();
            return;
        }
        Step& step = m_steps[m_next];
        if (!m_sent) {
            m_sent = true;
            if (!runXdotool(step.xdotool))
                fail(QStringLiteral("xdotool failed at: %1").arg(QLatin1String(step.what)));
            return;
        }
        if (step.done()) {
            ++m_next;
            m_sent = false;
            m_clock.restart();
        } else if (m_clock.elapsed() > budget::ms(budget::TestWait)) {
            fail(QStringLiteral("no effect of: %1").arg(QLatin1String(step.what)));
        }
    }

    // A drag runs a loop of its own until the button is let go or Escape is pressed: a
    // script that stops half-way ends it, so that the test fails instead of hanging.
    void fail(const QString& why)
    {
        m_failure = why;
        letGo();
    }
    void letGo()
    {
        runXdotool({QStringLiteral("mouseup"), QStringLiteral("1"), QStringLiteral("key"),
                    QStringLiteral("Escape")});
    }

    QList<Step> m_steps;
    qsizetype m_next = 0;
    bool m_sent = false;
    QString m_failure;
    QTimer m_timer;
    QElapsedTimer m_clock;
};

// Counts what one window receives, before any other filter sees it: the presses on its
// widgets, the drag positions the window system reports for it (whether or not a widget
// takes the drag: a refused drag reaches no widget after its entry), and the drops that
// reach one of its widgets.
class Observer : public QObject
{
public:
    explicit Observer(QWidget* window) : m_window(window) { qApp->installEventFilter(this); }
    ~Observer() override { qApp->removeEventFilter(this); }

    int presses = 0;
    int drags = 0;   // drag entries and moves over the window
    QPoint lastDrag; // where the last of them was, on the screen
    int drops = 0;
    QPoint lastMove; // where the pointer last moved over one of its widgets, on the screen

    bool lastDragOver(const QWidget* widget) const
    {
        return drags > 0 && widget->rect().contains(widget->mapFromGlobal(lastDrag));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const QEvent::Type type = event->type();
        if (watched == m_window->windowHandle() && (type == QEvent::DragEnter || type == QEvent::DragMove)) {
            ++drags;
            lastDrag =
                m_window->windowHandle()->mapToGlobal(static_cast<QDropEvent*>(event)->position().toPoint());
            return false;
        }
        auto* w = qobject_cast<QWidget*>(watched);
        if (!w || w->window() != m_window)
            return false;
        if (type == QEvent::MouseButtonPress)
            ++presses;
        if (type == QEvent::MouseMove)
            lastMove = static_cast<QMouseEvent*>(event)->globalPosition().toPoint();
        if (type == QEvent::Drop)
            ++drops;
        return false;
    }

private:
    QWidget* m_window;
};

// A file manager's window: dragging from it carries one file, as a URL and as text.
class FileSource : public QLabel
{
public:
    explicit FileSource(const QString& file) : m_file(file)
    {
        setText(QStringLiteral("Datei"));
        setWindowFlags(Qt::Window | Qt::X11BypassWindowManagerHint | Qt::FramelessWindowHint);
        setStyleSheet(QStringLiteral("background: yellow"));
    }

    bool pressed = false;
    bool dragging = false;

protected:
    void mousePressEvent(QMouseEvent* event) override
    {
        pressed = true;
        m_start = event->position().toPoint();
    }
    void mouseMoveEvent(QMouseEvent* event) override
    {
        if (dragging || !(event->buttons() & Qt::LeftButton) ||
            (event->position().toPoint() - m_start).manhattanLength() < QApplication::startDragDistance())
            return;
        dragging = true;
        auto* drag = new QDrag(this);
        auto* files = new QMimeData;
        files->setUrls({QUrl::fromLocalFile(m_file)});
        files->setText(QUrl::fromLocalFile(m_file).toString());
        drag->setMimeData(files);
        drag->exec(Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, Qt::CopyAction);
    }

private:
    QString m_file;
    QPoint m_start;
};

bool noDragUnder(QObject* source)
{
    return source->findChildren<QDrag*>().isEmpty();
}

} // namespace

class TstOnInput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void focusStartsOnThePatternBox();
    void fileDraggedOntoTheTextPreviewOpensItsFolder();
    void hitDraggedInsideTheFoundListIsNoDrop();
    void textPreviewSelectsAndCopiesWithTheMouse();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RecordingBackend> m_media;
    std::unique_ptr<CapturingMessageSeam> m_messages;
    std::unique_ptr<Suche> m_window;
    void openWindow();
    // The window after a search for the folder's text, which it previews.
    void openWindowOnTheLetter();
};

void TstOnInput::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs the xcb platform on an X server (run through run-on-x.sh)");
    if (xdotool().isEmpty())
        QSKIP("xdotool is needed to move the X server's pointer");
    QApplication::setCursorFlashTime(0);
}

void TstOnInput::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_media = std::make_unique<RecordingBackend>();
    m_messages = std::make_unique<CapturingMessageSeam>();
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("Unter/tiefer")));
    test::writeFile(m_dir->filePath(QStringLiteral("brief.txt")), "Ein Brief\nmit zwei Zeilen\n");
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("Ziel Ordner")));
    test::writeFile(m_dir->filePath(QStringLiteral("Ziel Ordner/bild.jpg")));
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(Qt::darkGreen);
    for (int i = 0; i < 6; ++i)
        QVERIFY(picture.save(m_dir->filePath(QStringLiteral("Unter/tiefer/p%1.png").arg(i))));
}

void TstOnInput::cleanup()
{
    m_window.reset();
    m_messages.reset();
    m_media.reset();
    m_dir.reset();
}

void TstOnInput::openWindow()
{
    m_window = std::make_unique<Suche>(m_dir->path());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
}

void TstOnInput::openWindowOnTheLetter()
{
    openWindow();
    m_window->ui->chkSubFolder->setChecked(false);
    m_window->ui->txtSearchSpec->setText(QStringLiteral("*.txt"));
    QTest::mouseClick(m_window->ui->cmdSearch, Qt::LeftButton);
    QVERIFY(m_window->ui->TextBox1->isVisible());
}

void TstOnInput::focusStartsOnThePatternBox()
{
    openWindow();
    QTRY_COMPARE(QApplication::focusWidget(), m_window->ui->txtSearchSpec);
    // Space right after the start: typed into the pattern box, no type box ticked.
    QLineEdit* pattern = m_window->ui->txtSearchSpec;
    const QString before = pattern->text();
    QVERIFY(runXdotool({QStringLiteral("key"), QStringLiteral("space")}));
    QTRY_VERIFY(pattern->text() != before);
    QVERIFY(pattern->text().contains(u' '));
    QVERIFY(!m_window->ui->chkP_14->isChecked());
    QCOMPARE(QApplication::focusWidget(), pattern);
}

void TstOnInput::fileDraggedOntoTheTextPreviewOpensItsFolder()
{
    openWindowOnTheLetter();
    if (QTest::currentTestFailed())
        return;
    TextView* text = m_window->ui->TextBox1;
    const QString shown = text->toPlainText();
    QVERIFY(shown.startsWith(QStringLiteral("Ein Brief")));
    QVERIFY(m_window->ui->Command1->isEnabled());

    FileSource source(m_dir->filePath(QStringLiteral("Ziel Ordner/bild.jpg")));
    source.setGeometry(20, 20, 120, 60);
    source.show();
    QVERIFY(QTest::qWaitForWindowExposed(&source));
    Observer seen(m_window.get());
    const QPoint from = source.mapToGlobal(source.rect().center());
    const QPoint to = text->mapToGlobal(text->rect().center());
    InputScript script({
        {moveTo(from), [] { return true; }, "move to the source"},
        {{QStringLiteral("mousedown"), QStringLiteral("1")}, [&] { return source.pressed; }, "press"},
        {moveTo(from + QPoint(15, 15)), [&] { return source.dragging; }, "start the drag"},
        {moveTo(to - QPoint(20, 0)), [&] { return seen.lastDragOver(text); }, "over the text box"},
        {moveTo(to), [&] { return seen.lastDrag == to; }, "on the text box"},
        {{QStringLiteral("mouseup"), QStringLiteral("1")}, [&] { return noDragUnder(&source); }, "drop"},
    });
    QTRY_VERIFY_WITH_TIMEOUT(script.finished(), 4 * budget::ms(budget::TestWait));
    QVERIFY2(script.failure().isEmpty(), qPrintable(script.failure()));
    // It was dropped on the text box, which takes no drops itself: the window under it does.
    QVERIFY(seen.lastDragOver(text));
    QCOMPARE(seen.drops, 1);
    // The window's drop: the folder of the file opens, Start is disabled, nothing is pasted.
    QTRY_COMPARE(m_window->ui->dirList->Path(), m_dir->filePath(QStringLiteral("Ziel Ordner")));
    QVERIFY(!m_window->ui->Command1->isEnabled());
    QCOMPARE(text->toPlainText(), shown);
    QVERIFY(m_messages->messages.empty());
}

void TstOnInput::hitDraggedInsideTheFoundListIsNoDrop()
{
    openWindow();
    m_window->ui->txtSearchSpec->setText(QStringLiteral("*.png"));
    QTest::mouseClick(m_window->ui->cmdSearch, Qt::LeftButton);
    ListBox* list = m_window->ui->lstFoundFiles;
    list->flushPendingRows();
    QCOMPARE(GetListCount(list), 6);
    const QString folder = m_window->ui->dirList->Path();
    QVERIFY(m_window->ui->Command1->isEnabled());

    Observer seen(m_window.get());
    const QRect row = list->visualRect(list->model()->index(1, 0));
    const QPoint from = list->viewport()->mapToGlobal(row.center());
    const QPoint inList =
        list->viewport()->mapToGlobal(list->visualRect(list->model()->index(4, 0)).center());
    const QPoint inWindow = m_window->ui->Picture2->mapToGlobal(m_window->ui->Picture2->rect().center());
    InputScript script({
        {moveTo(from), [] { return true; }, "move to the hit"},
        {{QStringLiteral("mousedown"), QStringLiteral("1")}, [&] { return seen.presses > 0; }, "press"},
        // The view takes the first move with the button held as the start of a drag and
        // starts it at the next move. The second is sent only once the first has arrived:
        // the window system merges motion that queues up, and one move starts nothing.
        {moveTo(from + QPoint(6, 3)), [&] { return seen.lastMove == from + QPoint(6, 3); }, "begin to move"},
        {moveTo(from + QPoint(14, 7)), [&] { return !noDragUnder(list); }, "start the drag"},
        {moveTo(inList), [&] { return seen.lastDragOver(list); }, "a few rows down"},
        {moveTo(inWindow), [&] { return seen.lastDragOver(m_window->ui->Picture2); }, "over the preview"},
        {moveTo(inList + QPoint(5, 0)), [&] { return seen.lastDrag == inList + QPoint(5, 0); },
         "back in the list"},
        {{QStringLiteral("mouseup"), QStringLiteral("1")}, [&] { return noDragUnder(list); }, "release"},
    });
    QTRY_VERIFY_WITH_TIMEOUT(script.finished(), 4 * budget::ms(budget::TestWait));
    QVERIFY2(script.failure().isEmpty(), qPrintable(script.failure()));
    // No drop: the lists stay, Start stays enabled, the window stays.
    QCoreApplication::processEvents();
    QCOMPARE(seen.drops, 0);
    QCOMPARE(m_window->ui->dirList->Path(), folder);
    QVERIFY(m_window->ui->Command1->isEnabled());
    QVERIFY(m_window->isVisible());
    QCOMPARE(GetListIndex(list), 1);
}

void TstOnInput::textPreviewSelectsAndCopiesWithTheMouse()
{
    openWindowOnTheLetter();
    if (QTest::currentTestFailed())
        return;
    TextView* text = m_window->ui->TextBox1;
    QTRY_VERIFY(text->visibleText().has_value());
    const auto at = [&](qint64 row, qsizetype column) {
        return text->viewport()->mapToGlobal(text->cursorRect({row, column}).center());
    };
    const auto selected = [&] { return text->selectedText().value_or(QString()); };
    // A double click takes a word, which X11 offers for pasting with the middle button.
    QVERIFY(runXdotool(moveTo(at(0, 5))));
    QVERIFY(runXdotool({QStringLiteral("click"), QStringLiteral("--repeat"), QStringLiteral("2"),
                        QStringLiteral("--delay"), QStringLiteral("60"), QStringLiteral("1")}));
    QTRY_COMPARE(selected(), QStringLiteral("Brief"));
    QTRY_COMPARE(QGuiApplication::clipboard()->text(QClipboard::Selection), QStringLiteral("Brief"));
    // Pressed, dragged over two lines, released.
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    QVERIFY(runXdotool(moveTo(at(0, 1))));
    QVERIFY(runXdotool({QStringLiteral("mousedown"), QStringLiteral("1")}));
    QVERIFY(runXdotool(moveTo(at(1, 2))));
    QVERIFY(runXdotool(moveTo(at(1, 3))));
    QVERIFY(runXdotool({QStringLiteral("mouseup"), QStringLiteral("1")}));
    QTRY_COMPARE(selected(), QStringLiteral("in Brief\nmit"));
    // The right button opens the box's menu; "Kopieren" is clicked there.
    QApplication::clipboard()->clear();
    QStringList entries;
    QTimer picker;
    connect(&picker, &QTimer::timeout, this, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu || !menu->isVisible())
            return;
        picker.stop();
        for (QAction* action : menu->actions()) {
            if (action->isSeparator())
                continue;
            entries << action->text().section(u'\t', 0, 0);
            if (entries.last() == QStringLiteral("&Kopieren")) {
                runXdotool(moveTo(menu->mapToGlobal(menu->actionGeometry(action).center())));
                runXdotool({QStringLiteral("click"), QStringLiteral("1")});
            }
        }
    });
    picker.start(20);
    QVERIFY(runXdotool({QStringLiteral("click"), QStringLiteral("3")}));
    QTRY_COMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("in Brief\nmit"));
    QCOMPARE(entries, (QStringList{QStringLiteral("&Ausschneiden"), QStringLiteral("&Kopieren"),
                                   QStringLiteral("Einf&ügen"), QStringLiteral("Löschen"),
                                   QStringLiteral("Alles auswählen")}));
    QTRY_VERIFY(!QApplication::activePopupWidget());
}

FOTARIK_TEST_MAIN(TstOnInput)
#include "tst_oninput.moc"
