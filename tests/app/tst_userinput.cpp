// What a user does with the search window's mouse, keyboard and drops: the scroll bars
// stepped from the keyboard and the wheel, files dropped on the text boxes or any other
// child, and the found list's double click and Ctrl+click.

#include "textview.h"
#include "workermain.h"
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>

#include "capturingmessageseam.h"
#include "clongscroll.h"
#include "dirlistbox.h"
#include "form1.h"
#include "globals.h"
#include "listbox.h"
#include "mediacommands.h"
#include "messagebox.h"
#include "modlargelist.h"
#include "programflags.h"
#include "recordingbackend.h"
#include "slideshow.h"
#include "suche.h"
#include "testfiles.h"
#include "ui_suche.h"

using namespace fotarik;

namespace {

// A widget that takes drops of its own and records what reaches it, as a text view
// that replaced the window's text box might.
class DropCatcher : public QWidget
{
public:
    explicit DropCatcher(QWidget* parent) : QWidget(parent) { setAcceptDrops(true); }
    int seen = 0;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override
    {
        ++seen;
        event->acceptProposedAction();
    }
    void dragMoveEvent(QDragMoveEvent* event) override
    {
        ++seen;
        event->acceptProposedAction();
    }
    void dropEvent(QDropEvent* event) override
    {
        ++seen;
        event->acceptProposedAction();
    }
};

// A drag that enters the widget and is dropped there, the way the window system delivers
// it to the widget under the pointer that takes drops. True when the drop was accepted.
bool dropOn(QWidget* target, const QMimeData& data)
{
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDragMoveEvent move(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

void wheel(QWidget* target, QPoint angle)
{
    const QPointF at = target->rect().center();
    QWheelEvent event(at, target->mapToGlobal(at), QPoint(), angle, Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &event);
}

} // namespace

class TstUserInput : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void positionBarStepsWithTheKeys();
    void positionBarStepsOneEntryPerWheelNotch();
    void speedBarStepsWithTheKeysAndTheWheel();
    void fileDroppedOnTheTextPreviewIsTheWindowsDrop();
    void fileDroppedOnThePatternBoxIsTheWindowsDrop();
    void fileDroppedOnAnyChildIsTheWindowsDrop();
    void textDraggedIntoThePatternBoxStaysText();
    void onlyTheLeftDoubleClickOpens();
    void ctrlClickKeepsTheHitSelected();

private:
    void search(const QString& pattern);
    QPoint rowCentre(int32_t index);
    QByteArray path(const char* name) const { return QFile::encodeName(m_dir->path()) + '/' + name; }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RecordingBackend> m_media;
    std::unique_ptr<CapturingMessageSeam> m_messages;
    std::unique_ptr<Suche> m_window;
};

void TstUserInput::init()
{
    test::resetProgramFlags({.vollbildGeladen = 1});
    m_dir = std::make_unique<QTemporaryDir>();
    m_media = std::make_unique<RecordingBackend>();
    m_messages = std::make_unique<CapturingMessageSeam>();
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    for (const char* name : {"a.png", "b.png", "c.png", "d.png", "e.png"})
        QVERIFY(picture.save(QFile::decodeName(path(name))));
    test::writeBytes(path("brief.txt"), "Sehr geehrte Damen und Herren\n");
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("Ablage/Bilder 2024")));
    test::writeBytes(path("Ablage/Bilder 2024/neu.jpg"), "x");
    m_window = std::make_unique<Suche>(m_dir->path());
    m_window->show();
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
}

void TstUserInput::cleanup()
{
    m_window.reset();
    m_messages.reset();
    m_media.reset();
    m_dir.reset();
}

void TstUserInput::search(const QString& pattern)
{
    m_window->ui->chkSubFolder->setChecked(false);
    m_window->ui->txtSearchSpec->setText(pattern);
    QTest::mouseClick(m_window->ui->cmdSearch, Qt::LeftButton);
    m_window->ui->lstFoundFiles->flushPendingRows();
}

QPoint TstUserInput::rowCentre(int32_t index)
{
    ListBox* list = m_window->ui->lstFoundFiles;
    const QModelIndex entry = list->model()->index(index, 0);
    list->scrollTo(entry);
    return list->visualRect(entry).center();
}

void TstUserInput::positionBarStepsWithTheKeys()
{
    search(QStringLiteral("*.png"));
    QCOMPARE(GetListCount(m_window->ui->lstFoundFiles), 5);
    QScrollBar* bar = m_window->ui->HScroll1;
    QVERIFY(bar->isVisible());
    CLongScroll* hsb = m_window->hsb;
    QCOMPARE(hsb->Value(), 0);
    // Tab from the WAV box (the control before it) reaches the bar.
    m_window->ui->chkP_8->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), m_window->ui->chkP_8);
    QTest::keyClick(m_window->ui->chkP_8, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), bar);
    // Right and Down go to the next entry, Left and Up back, each one entry and previewed.
    QTest::keyClick(bar, Qt::Key_Right);
    QCOMPARE(hsb->Value(), 1);
    QCOMPARE(m_window->ui->Label2->text(), QStringLiteral("2"));
    QCOMPARE(GetListIndex(m_window->ui->lstFoundFiles), 1);
    QTest::keyClick(bar, Qt::Key_Down);
    QCOMPARE(hsb->Value(), 2);
    QTest::keyClick(bar, Qt::Key_Left);
    QCOMPARE(hsb->Value(), 1);
    QTest::keyClick(bar, Qt::Key_Up);
    QCOMPARE(hsb->Value(), 0);
    QTest::keyClick(bar, Qt::Key_Left); // already at the start
    QCOMPARE(hsb->Value(), 0);
    // End and Home go to the ends; Page Down is a large step, clamped at the end.
    QTest::keyClick(bar, Qt::Key_End);
    QCOMPARE(hsb->Value(), 4);
    QCOMPARE(m_window->ui->Label2->text(), QStringLiteral("5"));
    QTest::keyClick(bar, Qt::Key_Home);
    QCOMPARE(hsb->Value(), 0);
    QTest::keyClick(bar, Qt::Key_PageDown);
    QCOMPARE(hsb->Value(), std::min(4, hsb->LargeChange()));
    QTest::keyClick(bar, Qt::Key_PageUp);
    QCOMPARE(hsb->Value(), 0);
}

void TstUserInput::positionBarStepsOneEntryPerWheelNotch()
{
    search(QStringLiteral("*.png"));
    QScrollBar* bar = m_window->ui->HScroll1;
    CLongScroll* hsb = m_window->hsb;
    QCOMPARE(hsb->Max(), 4);
    // A notch toward the user is the next entry, away from the user the one before.
    wheel(bar, QPoint(0, -120));
    QCOMPARE(hsb->Value(), 1);
    QCOMPARE(m_window->ui->Label2->text(), QStringLiteral("2"));
    wheel(bar, QPoint(0, -120));
    QCOMPARE(hsb->Value(), 2);
    wheel(bar, QPoint(0, 120));
    QCOMPARE(hsb->Value(), 1);
    // Parts of a notch add up to one step.
    wheel(bar, QPoint(0, -60));
    QCOMPARE(hsb->Value(), 1);
    wheel(bar, QPoint(0, -60));
    QCOMPARE(hsb->Value(), 2);
    // Two notches at once are two steps; the end holds.
    wheel(bar, QPoint(0, -240));
    QCOMPARE(hsb->Value(), 4);
    wheel(bar, QPoint(0, -120));
    QCOMPARE(hsb->Value(), 4);
    QCOMPARE(m_window->ui->Label2->text(), QStringLiteral("5"));
}

void TstUserInput::speedBarStepsWithTheKeysAndTheWheel()
{
    QTest::mouseClick(m_window->ui->cmdDiaShow, Qt::LeftButton); // disabled before a search
    search(QStringLiteral("*.png"));
    QTest::mouseClick(m_window->ui->cmdDiaShow, Qt::LeftButton);
    QScrollBar* speed = m_window->ui->HScroll2;
    QVERIFY(speed->isVisible());
    QCOMPARE(speed->value(), 10);
    m_window->ui->Command4->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), m_window->ui->Command4);
    QTest::keyClick(m_window->ui->Command4, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), speed);
    QTest::keyClick(speed, Qt::Key_Right);
    QCOMPARE(speed->value(), 11);
    QCOMPARE(m_window->ui->Label9->text(), displayTimeText(11));
    QTest::keyClick(speed, Qt::Key_Left);
    QTest::keyClick(speed, Qt::Key_Left);
    QCOMPARE(speed->value(), 9);
    QTest::keyClick(speed, Qt::Key_PageDown);
    QCOMPARE(speed->value(), 19);
    wheel(speed, QPoint(0, -120));
    QCOMPARE(speed->value(), 20);
    wheel(speed, QPoint(0, 120));
    QCOMPARE(speed->value(), 19);
}

void TstUserInput::fileDroppedOnTheTextPreviewIsTheWindowsDrop()
{
    search(QStringLiteral("*.txt"));
    TextView* text = m_window->ui->TextBox1;
    QVERIFY(text->isVisible());
    const QString shown = text->toPlainText();
    QVERIFY(shown.startsWith(QStringLiteral("Sehr geehrte")));
    m_window->ui->Command1->setEnabled(true);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QFile::decodeName(path("Ablage/Bilder 2024/neu.jpg")))});
    data.setText(data.urls().first().toString()); // file managers offer the name as text too
    QVERIFY(dropOn(text, data));
    QCOMPARE(text->toPlainText(), shown);
    QCOMPARE(m_window->ui->dirList->pathBytes(), path("Ablage/Bilder 2024"));
    QVERIFY(!m_window->ui->Command1->isEnabled());
    QVERIFY(m_messages->messages.empty());
}

void TstUserInput::fileDroppedOnThePatternBoxIsTheWindowsDrop()
{
    QLineEdit* pattern = m_window->ui->txtSearchSpec;
    const QString before = pattern->text();
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(m_dir->filePath(QStringLiteral("Ablage")))});
    data.setText(data.urls().first().toString());
    QVERIFY(dropOn(pattern, data));
    QCOMPARE(pattern->text(), before);
    QCOMPARE(m_window->ui->dirList->pathBytes(), path("Ablage"));
    QVERIFY(!m_window->ui->Command1->isEnabled());
}

void TstUserInput::fileDroppedOnAnyChildIsTheWindowsDrop()
{
    // A child added later that takes drops of its own, over the preview area.
    auto* catcher = new DropCatcher(m_window->ui->Picture2);
    catcher->setGeometry(10, 10, 100, 100);
    catcher->show();
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QFile::decodeName(path("Ablage/Bilder 2024/neu.jpg"))),
                  QUrl::fromLocalFile(QFile::decodeName(path("a.png")))});
    QVERIFY(dropOn(catcher, data));
    QCOMPARE(catcher->seen, 0);
    QCOMPARE(m_window->ui->dirList->pathBytes(), path("Ablage/Bilder 2024")); // the first file counts
    // Drags of other things still reach it.
    QMimeData text;
    text.setText(QStringLiteral("Hallo"));
    QVERIFY(dropOn(catcher, text));
    QCOMPARE(catcher->seen, 3);
}

void TstUserInput::textDraggedIntoThePatternBoxStaysText()
{
    QLineEdit* pattern = m_window->ui->txtSearchSpec;
    pattern->setText(QString());
    QMimeData text;
    text.setText(QStringLiteral("*.PNG"));
    dropOn(pattern, text);
    QCOMPARE(pattern->text(), QStringLiteral("*.PNG"));
    QCOMPARE(m_window->ui->dirList->pathBytes(), QFile::encodeName(m_dir->path()));
    QVERIFY(m_window->ui->Command1->isEnabled());
}

void TstUserInput::onlyTheLeftDoubleClickOpens()
{
    search(QStringLiteral("*.png"));
    ListBox* list = m_window->ui->lstFoundFiles;
    for (Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
        QTest::mouseDClick(list->viewport(), button, {}, rowCentre(2));
        QVERIFY2(!m_window->fullScreenWindow(), button == Qt::RightButton ? "right" : "middle");
        QVERIFY(m_window->isVisible());
        // Its presses preview the entry like any press.
        QCOMPARE(m_window->ui->Label2->text(), QStringLiteral("3"));
    }
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rowCentre(1));
    QVERIFY(m_window->fullScreenWindow());
    QTRY_VERIFY(!m_window->isVisible());
    m_window->fullScreenWindow()->close();
    QTRY_VERIFY(m_window->isVisible());
}

void TstUserInput::ctrlClickKeepsTheHitSelected()
{
    search(QStringLiteral("*.png"));
    ListBox* list = m_window->ui->lstFoundFiles;
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rowCentre(3));
    QCOMPARE(GetListIndex(list), 3);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(3));
    QCOMPARE(GetListIndex(list), 3);
    QCOMPARE(m_window->ui->Label2->text(), QStringLiteral("4"));
    // Ctrl+Space on the current entry keeps it too.
    QTest::keyClick(list, Qt::Key_Space, Qt::ControlModifier);
    QCOMPARE(GetListIndex(list), 3);
    // Ctrl+click on another hit selects that one alone.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(1));
    QCOMPARE(GetListIndex(list), 1);
    QCOMPARE(list->selectionModel()->selectedIndexes().size(), 1);
    // And Enter opens it.
    QTest::keyClick(list, Qt::Key_Return);
    QVERIFY(m_window->fullScreenWindow());
    m_window->fullScreenWindow()->close();
}

FOTARIK_TEST_MAIN(TstUserInput)
#include "tst_userinput.moc"
