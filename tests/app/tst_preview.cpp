// The search window looking at its hits: previews of every class on real files found by
// a real search, media commands in order, the slideshow, the clipboard copy and drops.

#include "textview.h"
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "capturingmessageseam.h"
#include "clongscroll.h"
#include "decoderworker.h"
#include "dirlistbox.h"
#include "globals.h"
#include "listbox.h"
#include "mediacommands.h"
#include "modlargelist.h"
#include "programflags.h"
#include "recordingbackend.h"
#include "suche.h"
#include "testfiles.h"
#include "ui_suche.h"

using namespace fotarik;
using fotarik::test::writeFile;
using fotarik::test::writePicture;

namespace {

int32_t indexOf(Suche& w, const QString& name)
{
    for (int32_t i = 0; i < GetListCount(w.ui->lstFoundFiles); ++i)
        if (QString::fromUtf8(GetListItem(w.ui->lstFoundFiles, i)).endsWith(u'/' + name))
            return i;
    return -1;
}

void drop(Suche& w, const QList<QUrl>& urls)
{
    QMimeData data;
    data.setUrls(urls);
    // A drop reaches the widget that accepted the drag's entry.
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &enter);
    QDropEvent event(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &event);
}

} // namespace

class TstPreview : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void pictureIsFittedAndPlaced();
    void everyClassOfEntry();
    void slowPictureIsSupersededByAPressOnAnotherEntry();
    void mediaAreStoppedBeforeTheNextPreview();
    void vanishedFileKeepsTheSizeLabel();
    void noPreviewWhileFullScreenOrEmpty();
    void mousePressOfAnyButtonPreviews();
    void sizeUsesTheThousandsSeparator();

    void slideshowStepsThroughEveryHit();
    void slideshowNextAndStop();
    void slideshowEndlessWithOneEntry();
    void slideshowOverAnEmptyListReturns();
    void displayTimeLabel();

    void clipboardGetsThePreviewPicture();
    void clipboardWithoutPictureFails();
    void onlyALeftClickOnThePictureCopies();

    void dropsPointTheListsAtTheFolder();

private:
    // Text files named a.txt, b.txt, ... holding their own names, in the test folder.
    void writeTexts(int count);
    void searchAll(Suche& w);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RecordingBackend> m_media;
    std::unique_ptr<CapturingMessageSeam> m_messages;
};

void TstPreview::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_media = std::make_unique<RecordingBackend>();
    m_messages = std::make_unique<CapturingMessageSeam>();
    test::resetProgramFlags();
}

void TstPreview::cleanup()
{
    m_messages.reset();
    m_media.reset();
    m_dir.reset();
}

void TstPreview::writeTexts(int count)
{
    for (char c = 'a'; c < 'a' + count; ++c) {
        const QByteArray name = QByteArray(1, c) + ".txt";
        writeFile(m_dir->filePath(QString::fromLatin1(name)), name);
    }
}

void TstPreview::searchAll(Suche& w)
{
    w.ui->txtSearchSpec->setText(QStringLiteral("*.*"));
    QTest::mouseClick(w.ui->cmdSearch, Qt::LeftButton);
}

void TstPreview::pictureIsFittedAndPlaced()
{
    writePicture(m_dir->filePath(QStringLiteral("gross.png")), 400, 300);
    writePicture(m_dir->filePath(QStringLiteral("klein.png")), 100, 50);
    Suche w(m_dir->path());
    w.show();
    searchAll(w);
    w.hsb->setValue(indexOf(w, QStringLiteral("gross.png")));
    QVERIFY(w.ui->Anzeige1->isVisible());
    QVERIFY(!w.ui->TextBox1->isVisible());
    // 400 x 300 into 210 x 210 is 210 x 157, centred in twips and shifted 20 up and left,
    // in the client area inside the 2-pixel border.
    QCOMPARE(w.ui->Picture2->contentsRect().topLeft(), QPoint(2, 2));
    QCOMPARE(w.ui->Anzeige1->geometry(), QRect(25, 36, 210, 157));
    QCOMPARE(w.ui->Anzeige1->pixmap().size(), QSize(210, 157));
    w.hsb->setValue(indexOf(w, QStringLiteral("klein.png")));
    QCOMPARE(w.ui->Anzeige1->geometry(), QRect(80, 89, 100, 50));
    QCOMPARE(w.ui->Anzeige1->pixmap().toImage().pixelColor(50, 25), QColor(Qt::blue));
}

void TstPreview::slowPictureIsSupersededByAPressOnAnotherEntry()
{
    writePicture(m_dir->filePath(QStringLiteral("gross.png")), 400, 300);
    writePicture(m_dir->filePath(QStringLiteral("klein.png")), 100, 50);
    Suche w(m_dir->path());
    w.show();
    searchAll(w);
    const int32_t slow = indexOf(w, QStringLiteral("gross.png"));
    const int32_t fast = indexOf(w, QStringLiteral("klein.png"));
    // The worker serving the first picture never answers: the window must stay live.
    imaging::setDecodeWorkerMisbehaviour("hang");
    int repaints = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, &w, [&] {
        w.ui->Label2->repaint();
        ++repaints;
    });
    ticker.start(5);
    bool pressed = false;
    QTimer::singleShot(150, &w, [&] {
        imaging::setDecodeWorkerMisbehaviour({});
        pressed = true;
        // A press on another entry while the first one is still being decoded.
        SetListIndex(w.ui->lstFoundFiles, fast);
        w.hsb->setValue(fast);
    });
    w.hsb->setValue(slow);
    ticker.stop();
    QVERIFY(pressed);
    QVERIFY(repaints >= 5);
    // The newer preview is what the window shows; the stalled one left it alone.
    QCOMPARE(w.ui->Label1->text(), QString::fromUtf8(GetListItem(w.ui->lstFoundFiles, fast)));
    QCOMPARE(w.ui->Label2->text(), QString::number(fast + 1));
    QVERIFY(w.ui->Anzeige1->isVisible());
    QCOMPARE(w.ui->Anzeige1->pixmap().size(), QSize(100, 50));
    QCOMPARE(w.ui->Anzeige1->geometry(), QRect(80, 89, 100, 50));
    QVERIFY(imaging::busyDecodeWorkers().isEmpty());
    QCOMPARE(w.cursor().shape(), Qt::ArrowCursor);
}

void TstPreview::everyClassOfEntry()
{
    writePicture(m_dir->filePath(QStringLiteral("bild.JPG")), 64, 64);
    writeFile(m_dir->filePath(QStringLiteral("brief.txt")), "Hallo\nWelt");
    writeFile(m_dir->filePath(QStringLiteral("programm.exe")), "MZ");
    writeFile(m_dir->filePath(QStringLiteral("leer.gif")), "");
    writeFile(m_dir->filePath(QStringLiteral("falsch.png")), "this is text, not a picture");
    writeFile(m_dir->filePath(QStringLiteral("notiz.doc")), "doc");
    Suche w(m_dir->path());
    w.show();
    searchAll(w);
    QCOMPARE(GetListCount(w.ui->lstFoundFiles), 6);

    const int32_t text = indexOf(w, QStringLiteral("brief.txt"));
    w.hsb->setValue(text);
    QVERIFY(w.ui->TextBox1->isVisible());
    QVERIFY(!w.ui->Anzeige1->isVisible());
    QCOMPARE(w.ui->TextBox1->toPlainText(), QStringLiteral("Hallo\nWelt"));
    QCOMPARE(w.ui->Label1->text(), m_dir->filePath(QStringLiteral("brief.txt")));
    QCOMPARE(w.ui->Label2->text(), QString::number(text + 1));
    QCOMPARE(w.ui->Label3->text(), QStringLiteral("10"));
    QCOMPARE(GetListIndex(w.ui->lstFoundFiles), text);

    // A program: labels updated, nothing shown, the hourglass gone.
    w.hsb->setValue(indexOf(w, QStringLiteral("programm.exe")));
    QVERIFY(!w.ui->TextBox1->isVisible());
    QVERIFY(!w.ui->Anzeige1->isVisible());
    QCOMPARE(w.ui->Label1->text(), m_dir->filePath(QStringLiteral("programm.exe")));
    QCOMPARE(w.cursor().shape(), Qt::ArrowCursor);

    // A 0-byte picture: empty size label; it cannot be decoded, so the image is shown empty.
    w.hsb->setValue(indexOf(w, QStringLiteral("leer.gif")));
    QCOMPARE(w.ui->Label3->text(), QString());
    QVERIFY(w.ui->Anzeige1->isVisible());
    QVERIFY(w.ui->Anzeige1->pixmap().isNull());

    // A text with a picture suffix is a picture that cannot be decoded.
    w.hsb->setValue(indexOf(w, QStringLiteral("bild.JPG")));
    QVERIFY(!w.ui->Anzeige1->pixmap().isNull());
    const QRect before = w.ui->Anzeige1->geometry();
    w.hsb->setValue(indexOf(w, QStringLiteral("falsch.png")));
    QVERIFY(w.ui->Anzeige1->isVisible());
    QVERIFY(w.ui->Anzeige1->pixmap().isNull());
    QCOMPARE(w.ui->Anzeige1->geometry(), before); // keeps its size, placed again

    // Other files: both areas hidden, only the labels change.
    w.hsb->setValue(indexOf(w, QStringLiteral("notiz.doc")));
    QVERIFY(!w.ui->Anzeige1->isVisible());
    QVERIFY(!w.ui->TextBox1->isVisible());
    QCOMPARE(w.ui->Label3->text(), QStringLiteral("3"));
    QVERIFY(m_messages->messages.empty());
}

void TstPreview::mediaAreStoppedBeforeTheNextPreview()
{
    writeFile(m_dir->filePath(QStringLiteral("eins.mp3")), "ID3");
    writeFile(m_dir->filePath(QStringLiteral("zwei mit blank.mp3")), "ID3");
    writeFile(m_dir->filePath(QStringLiteral("ton.wav")), "RIFF");
    writeFile(m_dir->filePath(QStringLiteral("lied.mid")), "MThd");
    writeFile(m_dir->filePath(QStringLiteral("film.avi")), "RIFF");
    Suche w(m_dir->path());
    searchAll(w);
    m_media->clear();
    w.hsb->setValue(indexOf(w, QStringLiteral("eins.mp3")));
    const QByteArray first = QFile::encodeName(m_dir->filePath(QStringLiteral("eins.mp3")));
    QByteArrayList commands = m_media->commands();
    QCOMPARE(commands.mid(0, 3),
             (QByteArrayList{"mciSendString(stop MyAlias) = 263", "mciSendString(close MyAlias) = 263",
                             "mciExecute(Close all) = 0"}));
    QCOMPARE(commands.mid(commands.size() - 2),
             (QByteArrayList{"mciSendString(open " + first + " type MPEGVideo alias MyAlias) = 0",
                             "mciSendString(play MyAlias from 0) = 0"}));
    // The second MP3: the first is stopped and closed before the second opens.
    m_media->clear();
    w.hsb->setValue(indexOf(w, QStringLiteral("zwei mit blank.mp3")));
    commands = m_media->commands();
    QCOMPARE(commands.value(0), QByteArray("mciSendString(stop MyAlias) = 0"));
    QCOMPARE(commands.value(1), QByteArray("mciSendString(close MyAlias) = 0"));
    QVERIFY(commands.last().startsWith("mciSendString(play MyAlias from 0)"));
    QVERIFY(commands.join('\n').contains(
        "open \"" + QFile::encodeName(m_dir->filePath(QStringLiteral("zwei mit blank.mp3"))) +
        "\" type MPEGVideo alias MyAlias"));

    m_media->clear();
    w.hsb->setValue(indexOf(w, QStringLiteral("ton.wav")));
    QVERIFY(
        m_media->calls().contains("wave " + QFile::encodeName(m_dir->filePath(QStringLiteral("ton.wav")))));
    m_media->clear();
    w.hsb->setValue(indexOf(w, QStringLiteral("lied.mid")));
    QVERIFY(m_media->calls().contains("stop wave"));
    QVERIFY(m_media->commands().last().startsWith(
        "mciExecute(Play " + QFile::encodeName(m_dir->filePath(QStringLiteral("lied.mid")))));
    QVERIFY(!w.ui->Anzeige1->isVisible());
    QVERIFY(!w.ui->TextBox1->isVisible());
    m_media->clear();
    w.hsb->setValue(indexOf(w, QStringLiteral("film.avi")));
    QVERIFY(m_media->commands().last().startsWith(
        "mciSendString(play " + QFile::encodeName(m_dir->filePath(QStringLiteral("film.avi")))));
}

void TstPreview::vanishedFileKeepsTheSizeLabel()
{
    writeFile(m_dir->filePath(QStringLiteral("a.txt")), "12345");
    writeFile(m_dir->filePath(QStringLiteral("b.jpg")), "x");
    Suche w(m_dir->path());
    searchAll(w);
    w.hsb->setValue(indexOf(w, QStringLiteral("a.txt")));
    QCOMPARE(w.ui->Label3->text(), QStringLiteral("5"));
    const int32_t gone = indexOf(w, QStringLiteral("b.jpg"));
    QVERIFY(QFile::remove(m_dir->filePath(QStringLiteral("b.jpg"))));
    w.hsb->setValue(gone);
    QCOMPARE(w.ui->Label3->text(), QStringLiteral("5"));
    QCOMPARE(w.ui->Label1->text(), m_dir->filePath(QStringLiteral("b.jpg")));
    QCOMPARE(w.ui->Label2->text(), QString::number(gone + 1));
    QVERIFY(m_messages->messages.empty());
}

void TstPreview::noPreviewWhileFullScreenOrEmpty()
{
    writeFile(m_dir->filePath(QStringLiteral("a.txt")), "a");
    writeFile(m_dir->filePath(QStringLiteral("b.txt")), "b");
    Suche w(m_dir->path());
    searchAll(w);
    const QString label = w.ui->Label2->text();
    VollbildAktiv = 1;
    w.hsb->setValue(1);
    QCOMPARE(w.ui->Label2->text(), label);
    VollbildAktiv = 0;
    w.hsb->setValue(1);
    QCOMPARE(w.ui->Label2->text(), QStringLiteral("2"));
    // A search without hits leaves nothing to preview.
    w.ui->txtSearchSpec->setText(QStringLiteral("*.NIX"));
    QTest::mouseClick(w.ui->cmdSearch, Qt::LeftButton);
    w.hsb->setValue(0);
    QCOMPARE(w.ui->Label2->text(), QString());
}

void TstPreview::mousePressOfAnyButtonPreviews()
{
    writeTexts(3);
    Suche w(m_dir->path());
    w.show();
    searchAll(w);
    ListBox* list = w.ui->lstFoundFiles;
    list->flushPendingRows();
    const QRect third = list->visualRect(list->model()->index(2, 0));
    QTest::mousePress(list->viewport(), Qt::RightButton, {}, third.center());
    QCOMPARE(w.hsb->Value(), 2);
    QCOMPARE(w.ui->Label2->text(), QStringLiteral("3"));
    QTest::mouseRelease(list->viewport(), Qt::RightButton, {}, third.center());
    const QRect first = list->visualRect(list->model()->index(0, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, first.center());
    QCOMPARE(w.ui->Label2->text(), QStringLiteral("1"));
    // Moving the selection with the keys does not preview.
    QTest::keyClick(list, Qt::Key_Down);
    QCOMPARE(GetListIndex(list), 1);
    QCOMPARE(w.ui->Label2->text(), QStringLiteral("1"));
}

void TstPreview::sizeUsesTheThousandsSeparator()
{
    writeFile(m_dir->filePath(QStringLiteral("gross.txt")), QByteArray(1234567, 'x'));
    Suche w(m_dir->path());
    searchAll(w);
    QLocale locale = QLocale::system();
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    QCOMPARE(w.ui->Label3->text(), locale.toString(1234567));
    QVERIFY(w.ui->Label3->text().contains(locale.groupSeparator()));
}

void TstPreview::slideshowStepsThroughEveryHit()
{
    writeTexts(3);
    Suche w(m_dir->path());
    w.show();
    searchAll(w);
    QTest::mouseClick(w.ui->cmdDiaShow, Qt::LeftButton);
    QVERIFY(w.ui->Frame2->isVisible());
    QVERIFY(!w.ui->cmdDiaShow->isEnabled());
    w.ui->HScroll2->setValue(w.ui->HScroll2->minimum());
    QList<int> shown;
    connect(w.hsb, &CLongScroll::Change, this, [&] { shown << w.hsb->Value(); });
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(w.ui->Command1, Qt::LeftButton); // returns when the pass ends
    QCOMPARE(shown, (QList<int>{0, 1, 2}));
    QVERIFY(clock.elapsed() >= 300); // each entry at least 0.1 s
    QCOMPARE(w.ui->Label2->text(), QStringLiteral("3"));
    QVERIFY(w.ui->Frame2->isVisible()); // the panel stays open after a pass
}

void TstPreview::slideshowNextAndStop()
{
    writeTexts(4);
    Suche w(m_dir->path());
    w.show();
    searchAll(w);
    QTest::mouseClick(w.ui->cmdDiaShow, Qt::LeftButton);
    w.ui->HScroll2->setValue(200); // 20 s per entry: only Next and Stop move on
    QList<int> shown;
    connect(w.hsb, &CLongScroll::Change, this, [&] { shown << w.hsb->Value(); });
    int stage = 0;
    QTimer driver;
    connect(&driver, &QTimer::timeout, this, [&] {
        if (stage == 0 && shown == QList<int>{0}) {
            stage = 1;
            QTest::mouseClick(w.ui->Command3, Qt::LeftButton); // Next: entry 1 at once
        } else if (stage == 1 && shown.size() == 2) {
            stage = 2;
            w.ui->HScroll2->setValue(1); // the running wait takes the new time at once
        } else if (stage == 2 && shown.size() == 3) {
            stage = 3;
            QTest::mouseClick(w.ui->Command4, Qt::LeftButton); // Stop: back to 0, ends after this wait
        }
    });
    driver.start(10);
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(w.ui->Command1, Qt::LeftButton);
    driver.stop();
    QVERIFY(clock.elapsed() < 15000);
    QCOMPARE(shown, (QList<int>{0, 1, 2, 0}));
    QVERIFY(!w.ui->Frame2->isVisible());
    QVERIFY(w.ui->cmdDiaShow->isEnabled());
    QCOMPARE(w.DiaFlag, int16_t(2));
}

void TstPreview::slideshowEndlessWithOneEntry()
{
    writeFile(m_dir->filePath(QStringLiteral("nur.txt")), "eins");
    Suche w(m_dir->path());
    w.show();
    searchAll(w);
    w.ui->Check2->setChecked(true);
    w.ui->HScroll2->setValue(1);
    w.ui->Frame2->show();
    int previews = 0;
    connect(w.hsb, &CLongScroll::Change, this, [&] {
        if (++previews == 4)
            QTimer::singleShot(0, w.ui->Command4, &QPushButton::click);
    });
    QTest::mouseClick(w.ui->Command1, Qt::LeftButton);
    QVERIFY(previews >= 4);
    QCOMPARE(w.ui->Label2->text(), QStringLiteral("1"));
}

void TstPreview::slideshowOverAnEmptyListReturns()
{
    Suche w(m_dir->path());
    w.ui->txtSearchSpec->setText(QStringLiteral("*.NIX"));
    QTest::mouseClick(w.ui->cmdSearch, Qt::LeftButton);
    QCOMPARE(w.hsb->Max(), -1);
    w.ui->Check2->setChecked(true); // even endless: a pass with nothing to show ends the run
    QElapsedTimer clock;
    clock.start();
    w.ui->Command1->click();
    QVERIFY(clock.elapsed() < 2000);
}

void TstPreview::displayTimeLabel()
{
    Suche w(m_dir->path());
    w.ui->HScroll2->setValue(25);
    QCOMPARE(w.ui->Label9->text(), QStringLiteral("Anzeigedauer ") + QLocale::system().toString(2.5, 'f', 1) +
                                       QStringLiteral(" s"));
    w.ui->HScroll2->setValue(1);
    QCOMPARE(w.ui->Label9->text(), QStringLiteral("Anzeigedauer ") + QLocale::system().toString(0.1, 'f', 1) +
                                       QStringLiteral(" s"));
}

void TstPreview::clipboardGetsThePreviewPicture()
{
    writePicture(m_dir->filePath(QStringLiteral("foto.png")), 800, 600);
    Suche w(m_dir->path());
    w.show();
    searchAll(w);
    QVERIFY(w.ui->Anzeige1->isVisible());
    QTest::mouseClick(w.ui->Anzeige1, Qt::LeftButton);
    QCOMPARE(m_messages->messages.size(), size_t(1));
    QCOMPARE(m_messages->messages[0].text, QStringLiteral("Bild wurde in die Zwischenablage übertragen."));
    QCOMPARE(m_messages->messages[0].caption, QStringLiteral("Fotarik"));
    const QImage copied = QGuiApplication::clipboard()->image();
    QCOMPARE(copied.size(), QSize(210, 157)); // the preview's size, not the file's
    QCOMPARE(copied.convertToFormat(QImage::Format_RGB32),
             w.ui->Anzeige1->pixmap().toImage().convertToFormat(QImage::Format_RGB32));
}

void TstPreview::clipboardWithoutPictureFails()
{
    writeFile(m_dir->filePath(QStringLiteral("kaputt.jpg")), "no picture");
    Suche w(m_dir->path());
    w.show();
    searchAll(w);
    QVERIFY(w.ui->Anzeige1->isVisible());
    QTest::mouseClick(w.ui->Anzeige1, Qt::LeftButton);
    QCOMPARE(m_messages->messages.size(), size_t(1));
    QCOMPARE(m_messages->messages[0].text,
             QStringLiteral("Bild-Datei konnte nicht in Zwischenablage abgelegt werden."));
}

void TstPreview::onlyALeftClickOnThePictureCopies()
{
    writePicture(m_dir->filePath(QStringLiteral("foto.png")), 80, 60);
    Suche w(m_dir->path());
    w.show();
    searchAll(w);
    QLabel* picture = w.ui->Anzeige1;
    QVERIFY(picture->isVisible());
    QTest::mouseClick(picture, Qt::RightButton);
    QTest::mouseClick(picture, Qt::MiddleButton);
    // Pressed on the picture, dragged off it and released there: no click.
    QTest::mousePress(picture, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(picture, Qt::LeftButton, {}, QPoint(picture->width() + 30, picture->height() + 30));
    // A release without a press on the picture is none either.
    QTest::mouseRelease(picture, Qt::LeftButton, {}, QPoint(5, 5));
    QVERIFY(m_messages->messages.empty());
    QTest::mouseClick(picture, Qt::LeftButton);
    QCOMPARE(m_messages->messages.size(), size_t(1));
    QCOMPARE(m_messages->messages[0].text, QStringLiteral("Bild wurde in die Zwischenablage übertragen."));
}

void TstPreview::dropsPointTheListsAtTheFolder()
{
    const QString base = m_dir->path();
    for (const char* sub : {"Bilder", "Fotos", "Fotos.alt", "Eigene Dateien", "Ziel"})
        QVERIFY(QDir(base).mkpath(QString::fromUtf8(sub)));
    writeFile(base + QStringLiteral("/Bilder/Urlaub.jpg"), "x");
    writeFile(base + QStringLiteral("/Eigene Dateien/Bild.lnk"), QByteArray("C:\\a C:\\b\0\0", 11));
    writeFile(base + QStringLiteral("/Fotos/Bild.LNK"), "x");
    writeFile(base + QStringLiteral("/Fotos/leer.lnk"), "no target");
    Suche w(base);
    auto check = [&](const QList<QUrl>& urls, const QString& folder) {
        w.ui->dirList->setPath(base);
        w.ui->Command1->setEnabled(true);
        drop(w, urls);
        QCOMPARE(w.ui->dirList->Path(), folder);
        QVERIFY(!w.ui->Command1->isEnabled()); // nothing enables Start again
    };
    auto url = [&](const QString& rel) { return QUrl::fromLocalFile(base + rel); };
    check({url(QStringLiteral("/Bilder/Urlaub.jpg"))}, base + QStringLiteral("/Bilder"));
    check({url(QStringLiteral("/Fotos"))}, base + QStringLiteral("/Fotos"));
    check({url(QStringLiteral("/Fotos.alt"))}, base);
    check({url(QStringLiteral("/Bilder/Urlaub.jpg")), url(QStringLiteral("/Fotos"))},
          base + QStringLiteral("/Bilder"));
    // The piece before the blank does not end in "lnk": the shortcut's own folder opens.
    check({url(QStringLiteral("/Eigene Dateien/Bild.lnk"))}, base + QStringLiteral("/Eigene Dateien"));
    check({url(QStringLiteral("/Fotos/Bild.LNK"))}, base + QStringLiteral("/Fotos"));
    // A shortcut without a usable target leaves the lists as they were.
    check({url(QStringLiteral("/Fotos/leer.lnk"))}, base);
    // A symbolic link is followed to its target's folder.
    QVERIFY(
        QFile::link(base + QStringLiteral("/Bilder/Urlaub.jpg"), base + QStringLiteral("/Ziel/verweis.jpg")));
    check({url(QStringLiteral("/Ziel/verweis.jpg"))}, base + QStringLiteral("/Bilder"));
    // A drop of text carries no file names: ignored.
    w.ui->dirList->setPath(base + QStringLiteral("/Fotos"));
    QMimeData text;
    text.setText(QStringLiteral("/etc"));
    QDragEnterEvent textEnter(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &textEnter);
    QVERIFY(!textEnter.isAccepted());
    QDropEvent textDrop(QPointF(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &textDrop);
    QCOMPARE(w.ui->dirList->Path(), base + QStringLiteral("/Fotos"));
    QVERIFY(m_messages->messages.empty());
}

int main(int argc, char** argv)
{
    fotarik::imaging::runDecodeWorkerIfAsked(argc, argv);
    // The locale the size and time labels are asserted in.
    qputenv("LC_ALL", "de_DE.UTF-8");
    QApplication app(argc, argv);
    TstPreview test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_preview.moc"
