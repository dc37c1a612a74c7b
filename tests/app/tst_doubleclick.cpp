// Handing over between the two windows: a double click on the found list opens the
// full-screen window for pictures and texts only, hides the search window, stops its
// slideshow; closing the full-screen window hands back the shown entry.

#include "textview.h"
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "capturingmessageseam.h"
#include "clongscroll.h"
#include "form1.h"
#include "globals.h"
#include "listbox.h"
#include "mediacommands.h"
#include "modlargelist.h"
#include "programflags.h"
#include "recordingbackend.h"
#include "suche.h"
#include "testfiles.h"
#include "ui_form1.h"
#include "ui_suche.h"
#include "workermain.h"

using namespace fotarik;
using fotarik::test::writeFile;

class TstDoubleClick : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void pictureOpensTheFullScreenWindow();
    void textOpensTheTextArea();
    void soundsProgramsAndOtherFilesOpenNothing_data();
    void soundsProgramsAndOtherFilesOpenNothing();
    void doubleClickStopsTheSlideshow();
    void doubleClickOnAnOtherFileStopsTheSlideshowToo();
    void fullScreenWindowCarriesTheProgramIcon();
    void searchWindowIsIdleWhileFullScreenIsOpen();
    void closingTheSearchWindowClosesTheFullScreenWindow();
    void doubleClickOnAnEmptyListDoesNothing();

private:
    void doubleClick(const QString& name);
    int32_t indexOf(const QString& name);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RecordingBackend> m_media;
    std::unique_ptr<CapturingMessageSeam> m_messages;
    std::unique_ptr<Suche> m_window;
};

void TstDoubleClick::init()
{
    test::resetProgramFlags();
    m_dir = std::make_unique<QTemporaryDir>();
    m_media = std::make_unique<RecordingBackend>();
    m_messages = std::make_unique<CapturingMessageSeam>();
    QImage picture(320, 240, QImage::Format_RGB32);
    picture.fill(Qt::red);
    for (const char* name : {"a.jpg", "b.png", "c.jpg"})
        QVERIFY(picture.save(m_dir->filePath(QString::fromLatin1(name))));
    writeFile(m_dir->filePath(QStringLiteral("brief.txt")), "Sehr geehrte Damen und Herren");
    for (const char* name : {"ton.wav", "lied.mid", "film.avi", "musik.mp3", "setup.exe", "notiz.doc"})
        writeFile(m_dir->filePath(QString::fromLatin1(name)), "x");
    m_window = std::make_unique<Suche>(m_dir->path());
    m_window->show();
    m_window->ui->txtSearchSpec->setText(QStringLiteral("*.*"));
    QTest::mouseClick(m_window->ui->cmdSearch, Qt::LeftButton);
    QCOMPARE(GetListCount(m_window->ui->lstFoundFiles), 10);
    m_window->ui->lstFoundFiles->flushPendingRows();
}

void TstDoubleClick::cleanup()
{
    m_window.reset();
    m_messages.reset();
    m_media.reset();
    m_dir.reset();
}

int32_t TstDoubleClick::indexOf(const QString& name)
{
    for (int32_t i = 0; i < GetListCount(m_window->ui->lstFoundFiles); ++i)
        if (GetListItem(m_window->ui->lstFoundFiles, i).endsWith('/' + QFile::encodeName(name)))
            return i;
    return -1;
}

void TstDoubleClick::doubleClick(const QString& name)
{
    ListBox* list = m_window->ui->lstFoundFiles;
    const QModelIndex entry = list->model()->index(indexOf(name), 0);
    list->scrollTo(entry);
    const QPoint at = list->visualRect(entry).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

void TstDoubleClick::pictureOpensTheFullScreenWindow()
{
    const int32_t shown = indexOf(QStringLiteral("b.png"));
    doubleClick(QStringLiteral("b.png"));
    Form1* form = m_window->fullScreenWindow();
    QVERIFY(form);
    QVERIFY(form->isVisible());
    QVERIFY(!m_window->isVisible());
    QCOMPARE(VollbildAktiv, int16_t(1));
    QCOMPARE(VollbildGeladen, int16_t(1));
    QCOMPARE(form->windowTitle(), QStringLiteral("Normalanzeige   (DoppelClick-> zurück zum Suchprogramm)"));
    QCOMPARE(form->hsb->Value(), shown);
    QCOMPARE(form->hsb->Max(), 9);
    QVERIFY(!form->ui->TextBox1->isVisible());
    QCOMPARE(form->ui->Label1->text(), QStringLiteral("Bild: %1 von 10     File: %2")
                                           .arg(shown + 1)
                                           .arg(m_dir->filePath(QStringLiteral("b.png"))));
    // Step on with the arrow key, then Esc: the search window returns on that entry.
    const int32_t next = shown < 9 ? shown + 1 : shown;
    QTest::keyClick(form, Qt::Key_Right);
    QCOMPARE(form->hsb->Value(), next);
    QTest::keyClick(form, Qt::Key_Escape);
    QTRY_VERIFY(!form->isVisible());
    QVERIFY(m_window->isVisible());
    QCOMPARE(VollbildAktiv, int16_t(0));
    QCOMPARE(GetListIndex(m_window->ui->lstFoundFiles), next);
    // The search window previews again.
    m_window->hsb->setValue(0);
    QCOMPARE(m_window->ui->Label2->text(), QStringLiteral("1"));
    // A second opening gets a new window.
    doubleClick(QStringLiteral("a.jpg"));
    QVERIFY(m_window->fullScreenWindow());
    QVERIFY(m_window->fullScreenWindow()->isVisible());
    QVERIFY(m_messages->messages.empty());
}

void TstDoubleClick::textOpensTheTextArea()
{
    doubleClick(QStringLiteral("brief.txt"));
    Form1* form = m_window->fullScreenWindow();
    QVERIFY(form && form->isVisible());
    QVERIFY(form->ui->TextBox1->isVisible());
    QVERIFY(!form->ui->Image1->isVisible());
    QCOMPARE(form->ui->TextBox1->toPlainText(), QStringLiteral("Sehr geehrte Damen und Herren"));
    QVERIFY(form->ui->Label1->text().startsWith(QStringLiteral(" *** Textdatei *** ")));
    QVERIFY(!m_window->isVisible());
    form->close();
    QVERIFY(m_window->isVisible());
}

void TstDoubleClick::soundsProgramsAndOtherFilesOpenNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("labelSet");
    QTest::newRow("wave") << "ton.wav" << true;
    QTest::newRow("midi") << "lied.mid" << true;
    QTest::newRow("video") << "film.avi" << true;
    QTest::newRow("mp3") << "musik.mp3" << true;
    QTest::newRow("program") << "setup.exe" << false;
    QTest::newRow("other") << "notiz.doc" << true;
}

void TstDoubleClick::soundsProgramsAndOtherFilesOpenNothing()
{
    QFETCH(QString, name);
    QFETCH(bool, labelSet);
    m_media->clear();
    doubleClick(name);
    QVERIFY(!m_window->fullScreenWindow());
    QVERIFY(m_window->isVisible());
    QCOMPARE(VollbildAktiv, int16_t(0));
    if (labelSet)
        QCOMPARE(m_window->ui->Label1->text(), m_dir->filePath(name));
    // The double click stops nothing: what the press started plays on.
    for (const QByteArray& c : m_media->commands())
        QVERIFY2(!c.startsWith("mciSendString(stop") || c.contains("MyAlias"), c.constData());
}

void TstDoubleClick::doubleClickStopsTheSlideshow()
{
    QTest::mouseClick(m_window->ui->cmdDiaShow, Qt::LeftButton);
    m_window->ui->HScroll2->setValue(200);
    bool opened = false;
    QTimer::singleShot(50, this, [&] {
        doubleClick(QStringLiteral("c.jpg"));
        Form1* form = m_window->fullScreenWindow();
        opened = form && form->isVisible();
        QVERIFY(!m_window->ui->Frame2->isVisible());
        QVERIFY(m_window->ui->cmdDiaShow->isEnabled());
        m_window->fullScreenWindow()->close();
        m_window->ui->HScroll2->setValue(1); // the running 20 s wait becomes 0.1 s
    });
    QTest::mouseClick(m_window->ui->Command1, Qt::LeftButton); // returns once the stop is seen
    QVERIFY(opened);
    QCOMPARE(m_window->DiaFlag, int16_t(2));
}

void TstDoubleClick::doubleClickOnAnOtherFileStopsTheSlideshowToo()
{
    QTest::mouseClick(m_window->ui->cmdDiaShow, Qt::LeftButton);
    m_window->ui->HScroll2->setValue(200);
    bool stopped = false;
    QTimer::singleShot(50, this, [&] {
        QVERIFY(m_window->ui->Frame2->isVisible());
        QVERIFY(!m_window->ui->cmdDiaShow->isEnabled());
        doubleClick(QStringLiteral("notiz.doc"));
        // The slideshow is stopped, the panel closed, "Dia-Show" usable again...
        stopped = m_window->DiaFlag == 2 && !m_window->ui->Frame2->isVisible() &&
                  m_window->ui->cmdDiaShow->isEnabled();
        // ... but nothing opens, so the search window stays.
        QVERIFY(!m_window->fullScreenWindow());
        QVERIFY(m_window->isVisible());
        if (!stopped)
            m_window->ui->Command4->click();
        m_window->ui->HScroll2->setValue(1); // a stop is seen after the running wait: make it short
    });
    QTest::mouseClick(m_window->ui->Command1, Qt::LeftButton); // returns once the stop is seen
    QVERIFY(stopped);
    QCOMPARE(m_window->DiaFlag, int16_t(2));
}

void TstDoubleClick::fullScreenWindowCarriesTheProgramIcon()
{
    QVERIFY(!m_window->windowIcon().isNull());
    doubleClick(QStringLiteral("a.jpg"));
    Form1* form = m_window->fullScreenWindow();
    QVERIFY(form);
    QVERIFY(!form->windowIcon().isNull());
    QCOMPARE(form->windowIcon().cacheKey(), m_window->windowIcon().cacheKey());
    form->close();
}

void TstDoubleClick::searchWindowIsIdleWhileFullScreenIsOpen()
{
    doubleClick(QStringLiteral("a.jpg"));
    QVERIFY(m_window->fullScreenWindow());
    const QString label = m_window->ui->Label2->text();
    m_window->hsb->setValue(indexOf(QStringLiteral("brief.txt")));
    QCOMPARE(m_window->ui->Label2->text(), label);
    m_window->fullScreenWindow()->close();
}

void TstDoubleClick::closingTheSearchWindowClosesTheFullScreenWindow()
{
    doubleClick(QStringLiteral("a.jpg"));
    QPointer<Form1> form = m_window->fullScreenWindow();
    const Form1* opened = form.data();
    QVERIFY(opened && opened->isVisible());
    m_window->close();
    const Form1* left = form.data();
    QVERIFY(!left || !left->isVisible());
}

void TstDoubleClick::doubleClickOnAnEmptyListDoesNothing()
{
    m_window->ui->txtSearchSpec->setText(QStringLiteral("*.NIX"));
    QTest::mouseClick(m_window->ui->cmdSearch, Qt::LeftButton);
    ListBox* list = m_window->ui->lstFoundFiles;
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    QVERIFY(!m_window->fullScreenWindow());
    QVERIFY(m_window->isVisible());
    QVERIFY(m_messages->messages.empty());
}

FOTARIK_TEST_MAIN(TstDoubleClick)
#include "tst_doubleclick.moc"
