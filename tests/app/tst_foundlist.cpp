// The found list beyond its mouse press and double click: Enter on the selected hit, the
// context menu's three actions (desktop services behind the recording seam), hits dragged
// out as files, and nothing at all without a selected hit.

#include "textview.h"
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <cstdio>
#include <cstring>

#include "budgets.h"
#include "capturingmessageseam.h"
#include "clongscroll.h"
#include "decoderworker.h"
#include "desktopservices.h"
#include "form1.h"
#include "foundlistactions.h"
#include "globals.h"
#include "listbox.h"
#include "mediacommands.h"
#include "messagebox.h"
#include "modlargelist.h"
#include "programflags.h"
#include "recordingbackend.h"
#include "recordingdesktopseam.h"
#include "suche.h"
#include "testfiles.h"
#include "ui_form1.h"
#include "ui_suche.h"

using namespace fotarik;

namespace {

constexpr int Wait = budget::ms(budget::TestWait);

QStringList menuTexts(QMenu* menu)
{
    QStringList texts;
    for (QAction* a : menu->actions())
        texts << a->text();
    return texts;
}

} // namespace

class TstFoundList : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void enterOnAPictureOpensTheFullScreenWindow();
    void enterOnATextOpensTheTextArea();
    void enterOnASoundShowsItsPathAndOpensNothing();
    void enterOpensTheHitTheArrowKeysSelected();
    void enterWithoutASelectedHitDoesNothing();
    void rightPressPreviewsThenTheMenuOffersItsActions();
    void openWithDefaultApplicationHandsOverTheFile();
    void showInFileManagerAsksTheFileManagerElseOpensTheFolder();
    void withoutASessionBusTheFolderOpens();
    void everyFailedActionSaysWhatFailed();
    void copyPathPutsThePathOnTheClipboard();
    void menuWithoutASelectedHitDoesNotOpen();
    void aVanishedHitIsToldNotHandedOver();
    void hitsDragOutAsFileUrls();

private:
    void search(const QString& pattern = QStringLiteral("*.*"));
    int32_t indexOf(const QByteArray& name);
    QPoint rowCentre(int32_t index);
    QMenu* openMenuOn(int32_t index);
    QByteArray path(const QByteArray& name) const { return QFile::encodeName(m_dir->path()) + '/' + name; }

    std::unique_ptr<test::TemporaryDir> m_dir;
    std::unique_ptr<RecordingBackend> m_media;
    std::unique_ptr<CapturingMessageSeam> m_messages;
    std::unique_ptr<RecordingDesktopSeam> m_desktop;
    std::unique_ptr<Suche> m_window;
};

void TstFoundList::init()
{
    test::resetProgramFlags({.vollbildGeladen = 1});
    m_dir = std::make_unique<test::TemporaryDir>();
    m_media = std::make_unique<RecordingBackend>();
    m_messages = std::make_unique<CapturingMessageSeam>();
    m_desktop = std::make_unique<RecordingDesktopSeam>();
    QImage picture(320, 240, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    for (const char* name : {"a.jpg", "b.png", "Ferien am Meer ä.jpg"})
        QVERIFY(picture.save(QFile::decodeName(path(name))));
    test::writeBytes(path("brief.txt"), "Sehr geehrte Damen und Herren");
    test::writeBytes(path("ton.wav"), "x");
    test::writeBytes(path("setup.exe"), "x");
    m_window = std::make_unique<Suche>(m_dir->path());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TstFoundList::cleanup()
{
    m_window.reset();
    m_desktop.reset();
    m_messages.reset();
    m_media.reset();
    m_dir.reset();
}

void TstFoundList::search(const QString& pattern)
{
    m_window->ui->txtSearchSpec->setText(pattern);
    QTest::mouseClick(m_window->ui->cmdSearch, Qt::LeftButton);
    m_window->ui->lstFoundFiles->flushPendingRows();
}

int32_t TstFoundList::indexOf(const QByteArray& name)
{
    for (int32_t i = 0; i < GetListCount(m_window->ui->lstFoundFiles); ++i)
        if (GetListItem(m_window->ui->lstFoundFiles, i) == path(name))
            return i;
    return -1;
}

QPoint TstFoundList::rowCentre(int32_t index)
{
    ListBox* list = m_window->ui->lstFoundFiles;
    const QModelIndex entry = list->model()->index(index, 0);
    list->scrollTo(entry);
    return list->visualRect(entry).center();
}

// Presses the right button on the row (which previews it) and asks for the context menu
// there, as the window system does.
QMenu* TstFoundList::openMenuOn(int32_t index)
{
    ListBox* list = m_window->ui->lstFoundFiles;
    const QPoint at = index >= 0 ? rowCentre(index) : QPoint(5, list->viewport()->height() - 5);
    QTest::mousePress(list->viewport(), Qt::RightButton, {}, at);
    QTest::mouseRelease(list->viewport(), Qt::RightButton, {}, at);
    QContextMenuEvent request(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
    QApplication::sendEvent(list->viewport(), &request);
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
}

void TstFoundList::enterOnAPictureOpensTheFullScreenWindow()
{
    search();
    const int32_t shown = indexOf("b.png");
    QTest::mouseClick(m_window->ui->lstFoundFiles->viewport(), Qt::LeftButton, {}, rowCentre(shown));
    QTest::keyClick(m_window->ui->lstFoundFiles, Qt::Key_Return);
    Form1* form = m_window->fullScreenWindow();
    QVERIFY(form);
    QVERIFY(form->isVisible());
    QVERIFY(!m_window->isVisible());
    QCOMPARE(VollbildAktiv, int16_t(1));
    QCOMPARE(form->hsb->Value(), shown);
    QVERIFY(!form->ui->TextBox1->isVisible());
    QCOMPARE(m_window->ui->Label1->text(), QString::fromUtf8(path("b.png")));
    QTest::keyClick(form, Qt::Key_Escape);
    QTRY_VERIFY(m_window->isVisible());
    QCOMPARE(GetListIndex(m_window->ui->lstFoundFiles), shown);
}

void TstFoundList::enterOnATextOpensTheTextArea()
{
    search();
    // The slideshow runs: Enter stops it as a double click does.
    m_window->ui->cmdDiaShow->click();
    QVERIFY(m_window->ui->Frame2->isVisible());
    const int32_t text = indexOf("brief.txt");
    SetListIndex(m_window->ui->lstFoundFiles, text);
    QTest::keyClick(m_window->ui->lstFoundFiles, Qt::Key_Enter, Qt::KeypadModifier);
    Form1* form = m_window->fullScreenWindow();
    QVERIFY(form);
    QVERIFY(form->isVisible());
    QVERIFY(form->ui->TextBox1->isVisible());
    QVERIFY(!form->ui->Image1->isVisible());
    QCOMPARE(form->ui->TextBox1->toPlainText(), QStringLiteral("Sehr geehrte Damen und Herren"));
    QCOMPARE(m_window->DiaFlag, int16_t(2));
    QVERIFY(m_window->ui->Frame2->isHidden());
    QVERIFY(m_window->ui->cmdDiaShow->isEnabled());
    QVERIFY(!m_window->isVisible());
}

void TstFoundList::enterOnASoundShowsItsPathAndOpensNothing()
{
    search();
    for (const QByteArray& name : {QByteArray("ton.wav"), QByteArray("setup.exe")}) {
        m_window->ui->Label1->setText(QStringLiteral("vorher"));
        VollbildGeladen = 1;
        SetListIndex(m_window->ui->lstFoundFiles, indexOf(name));
        QTest::keyClick(m_window->ui->lstFoundFiles, Qt::Key_Return);
        QVERIFY(!m_window->fullScreenWindow());
        QVERIFY(m_window->isVisible());
        // The double click's first step ran; a program stops before the path is shown.
        QCOMPARE(VollbildGeladen, int16_t(0));
        QCOMPARE(m_window->ui->Label1->text(),
                 name == "ton.wav" ? QString::fromUtf8(path(name)) : QStringLiteral("vorher"));
    }
}

void TstFoundList::enterOpensTheHitTheArrowKeysSelected()
{
    search(QStringLiteral("*.jpg;*.png"));
    ListBox* list = m_window->ui->lstFoundFiles;
    QCOMPARE(GetListCount(list), 3);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rowCentre(0));
    QCOMPARE(m_window->ui->Label2->text(), QStringLiteral("1"));
    QTest::keyClick(list, Qt::Key_Down);
    QCOMPARE(GetListIndex(list), 1);
    // The arrow key did not preview; Enter opens the entry it selected.
    QCOMPARE(m_window->ui->Label2->text(), QStringLiteral("1"));
    QTest::keyClick(list, Qt::Key_Return);
    Form1* form = m_window->fullScreenWindow();
    QVERIFY(form && form->hsb);
    QCOMPARE(form->hsb->Value(), 1);
    QCOMPARE(m_window->ui->Label1->text(), QString::fromUtf8(GetListItem(list, 1)));
}

void TstFoundList::enterWithoutASelectedHitDoesNothing()
{
    ListBox* list = m_window->ui->lstFoundFiles;
    // An empty list, then a list with its selection cleared.
    QCOMPARE(GetListCount(list), 0);
    for (int round = 0; round < 2; ++round) {
        if (round == 1) {
            search();
            SetListIndex(list, -1);
            QCOMPARE(GetListIndex(list), -1);
        }
        const QString label = m_window->ui->Label1->text();
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Return);
        QTest::keyClick(list, Qt::Key_Enter, Qt::KeypadModifier);
        QVERIFY(!m_window->fullScreenWindow());
        QVERIFY(m_window->isVisible());
        QCOMPARE(VollbildGeladen, int16_t(1));
        QCOMPARE(m_window->ui->Label1->text(), label);
    }
    QVERIFY(m_messages->messages.empty());
}

void TstFoundList::rightPressPreviewsThenTheMenuOffersItsActions()
{
    search();
    const int32_t hit = indexOf("b.png");
    QMenu* menu = openMenuOn(hit);
    QVERIFY(menu);
    // The press has previewed the hit before the menu came up.
    QCOMPARE(m_window->ui->Label1->text(), QString::fromUtf8(path("b.png")));
    QCOMPARE(m_window->ui->Label2->text(), QString::number(hit + 1));
    QVERIFY(m_window->ui->Anzeige1->isVisible());
    QCOMPARE(
        menuTexts(menu),
        QStringList({QStringLiteral("Öffnen mit Standardprogramm"), QStringLiteral("Im Dateimanager zeigen"),
                     QStringLiteral("Pfad kopieren"), QString(), QStringLiteral("Übersicht")}));
    QVERIFY(menu->actions().at(3)->isSeparator());
    menu->close();
    QVERIFY(m_desktop->opened.empty());
    QVERIFY(m_desktop->shown.empty());
}

void TstFoundList::openWithDefaultApplicationHandsOverTheFile()
{
    search();
    const QByteArray name = "Ferien am Meer ä.jpg";
    QMenu* menu = openMenuOn(indexOf(name));
    QVERIFY(menu);
    menu->actions().at(0)->trigger();
    menu->close();
    QCOMPARE(m_desktop->opened.size(), size_t(1));
    const QUrl url = m_desktop->opened.front();
    QVERIFY(url.isLocalFile());
    QCOMPARE(url.toLocalFile(), QString::fromUtf8(path(name)));
    QVERIFY(m_desktop->shown.empty());
    // The search window stays as it was: no full-screen window, no message.
    QVERIFY(!m_window->fullScreenWindow());
    QVERIFY(m_messages->messages.empty());
}

void TstFoundList::showInFileManagerAsksTheFileManagerElseOpensTheFolder()
{
    search();
    const QUrl file = QUrl::fromLocalFile(QString::fromUtf8(path("a.jpg")));
    QMenu* menu = openMenuOn(indexOf("a.jpg"));
    QVERIFY(menu);
    menu->actions().at(1)->trigger();
    menu->close();
    QCOMPARE(m_desktop->shown.size(), size_t(1));
    QCOMPARE(m_desktop->shown.front(), QList<QUrl>{file});
    QVERIFY(m_desktop->opened.empty());
    QCOMPARE(m_desktop->folderHandlerAsked, 0);

    // No file manager answers, and folders open in another program: the folder is opened.
    m_desktop->fileManagerResult = DesktopResult::failure(QStringLiteral("kein Dateimanager"));
    m_desktop->answerLater = true;
    menu = openMenuOn(indexOf("a.jpg"));
    QVERIFY(menu);
    menu->actions().at(1)->trigger();
    menu->close();
    QTRY_COMPARE_WITH_TIMEOUT(m_desktop->opened.size(), size_t(1), Wait);
    QCOMPARE(m_desktop->shown.size(), size_t(2));
    QCOMPARE(m_desktop->folderHandlerAsked, 1);
    QCOMPARE(m_desktop->opened.front(), QUrl::fromLocalFile(m_dir->path()));
    QVERIFY(m_messages->messages.empty());
}

void TstFoundList::withoutASessionBusTheFolderOpens()
{
    // main() pointed the session bus at nothing: the real request fails, the folder opens.
    m_desktop->useSessionBus = true;
    showInFileManager(path("a.jpg"), m_window.get());
    QTRY_COMPARE_WITH_TIMEOUT(m_desktop->opened.size(), size_t(1), Wait);
    QCOMPARE(m_desktop->shown.size(), size_t(1));
    QCOMPARE(m_desktop->opened.front(), QUrl::fromLocalFile(m_dir->path()));
    QVERIFY(m_messages->messages.empty());
}

void TstFoundList::everyFailedActionSaysWhatFailed()
{
    search();
    const QByteArray name = "Ferien am Meer ä.jpg";
    const QString shownPath = QString::fromUtf8(path(name));
    const auto runAction = [&](int action) {
        QMenu* menu = openMenuOn(indexOf(name));
        QVERIFY(menu);
        menu->actions().at(action)->trigger();
        menu->close();
    };
    m_desktop->answerLater = true;

    // No program opens the file.
    m_desktop->openResult = DesktopResult::failure(QStringLiteral("„gio open“ meldet: keine Anwendung"));
    runAction(0);
    QTRY_COMPARE_WITH_TIMEOUT(m_messages->messages.size(), size_t(1), Wait);
    Message m = m_messages->messages.back();
    QCOMPARE(m.text, shownPath + QStringLiteral("\nließ sich nicht mit dem Standardprogramm öffnen.\n\n"
                                                "„gio open“ meldet: keine Anwendung"));
    QCOMPARE(m.caption, QStringLiteral("Fotarik"));
    QCOMPARE(m.icon, MsgIcon::Warning);

    // No file manager, and the program for folders is Fotarik: nothing is opened.
    m_desktop->fileManagerResult = DesktopResult::failure(QStringLiteral("Es gibt keine D-Bus-Sitzung."));
    m_desktop->folderHandlerId = QStringLiteral("org.fotarik.fotarik.desktop");
    const size_t openedBefore = m_desktop->opened.size();
    runAction(1);
    QTRY_COMPARE_WITH_TIMEOUT(m_messages->messages.size(), size_t(2), Wait);
    QCOMPARE(m_messages->messages.back().text,
             shownPath +
                 QStringLiteral("\nließ sich nicht im Dateimanager zeigen: Es gibt keine D-Bus-Sitzung.\n\n"
                                "Der Ordner wird auch nicht geöffnet: für Ordner ist Fotarik selbst "
                                "eingetragen."));
    QCOMPARE(m_desktop->opened.size(), openedBefore);

    // No file manager, and the folder does not open either.
    m_desktop->folderHandlerId.clear();
    m_desktop->openResult = DesktopResult::failure(QStringLiteral("„xdg-open“ endete mit dem Fehlercode 3."));
    runAction(1);
    QTRY_COMPARE_WITH_TIMEOUT(m_messages->messages.size(), size_t(3), Wait);
    QCOMPARE(m_messages->messages.back().text,
             shownPath +
                 QStringLiteral("\nließ sich nicht im Dateimanager zeigen: Es gibt keine D-Bus-Sitzung.\n\n"
                                "Auch der Ordner ließ sich nicht öffnen: „xdg-open“ endete mit dem "
                                "Fehlercode 3."));
    QCOMPARE(m_desktop->opened.back(), QUrl::fromLocalFile(m_dir->path()));
    // The window is left as it was.
    QVERIFY(m_window->isVisible());
    QVERIFY(!m_window->fullScreenWindow());
}

void TstFoundList::copyPathPutsThePathOnTheClipboard()
{
    const QByteArray odd = "Bild \xff\xfe.jpg";
    test::writeBytes(path(odd), "not really a picture");
    search();
    const QByteArray name = "Ferien am Meer ä.jpg";
    QGuiApplication::clipboard()->setText(QStringLiteral("vorher"));
    QMenu* menu = openMenuOn(indexOf(name));
    QVERIFY(menu);
    menu->actions().at(2)->trigger();
    menu->close();
    QCOMPARE(QGuiApplication::clipboard()->text(), QString::fromUtf8(path(name)));
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    QVERIFY(data);
    QCOMPARE(data->data(QStringLiteral("text/uri-list")), fileUrl(path(name)).toEncoded() + "\r\n");
    QCOMPARE(data->urls().value(0).toLocalFile(), QString::fromUtf8(path(name)));

    // A name that is not UTF-8: the URI list holds its bytes, the text the URI (the path
    // as text would name no file).
    menu = openMenuOn(indexOf(odd));
    QVERIFY(menu);
    menu->actions().at(2)->trigger();
    menu->close();
    data = QGuiApplication::clipboard()->mimeData();
    QVERIFY(data);
    const QByteArray uri = data->data(QStringLiteral("text/uri-list"));
    QVERIFY2(uri.endsWith("/Bild%20%FF%FE.jpg\r\n"), uri.constData());
    QCOMPARE(QByteArray::fromPercentEncoding(uri.trimmed().mid(int(strlen("file://")))), path(odd));
    QCOMPARE(QGuiApplication::clipboard()->text(), QString::fromLatin1(uri.trimmed()));
    QVERIFY(!QGuiApplication::clipboard()->text().contains(QChar::ReplacementCharacter));
    QVERIFY(m_desktop->opened.empty());
    QVERIFY(m_desktop->shown.empty());
    QVERIFY(m_messages->messages.empty());
}

void TstFoundList::menuWithoutASelectedHitDoesNotOpen()
{
    // Empty list.
    QVERIFY(!openMenuOn(-1));
    // Hits, none selected: a request from the keyboard's menu key.
    search();
    ListBox* list = m_window->ui->lstFoundFiles;
    SetListIndex(list, -1);
    QContextMenuEvent request(QContextMenuEvent::Keyboard, QPoint(5, 5),
                              list->viewport()->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(list->viewport(), &request);
    QVERIFY(!QApplication::activePopupWidget());
    QVERIFY(m_desktop->opened.empty());
    QVERIFY(m_desktop->shown.empty());
}

void TstFoundList::aVanishedHitIsToldNotHandedOver()
{
    search();
    const int32_t hit = indexOf("b.png");
    QVERIFY(QFile::remove(QFile::decodeName(path("b.png"))));
    QMenu* menu = openMenuOn(hit);
    QVERIFY(menu);
    // The preview found no file and said nothing; the menu still offers the hit.
    QCOMPARE(m_window->ui->Label1->text(), QString::fromUtf8(path("b.png")));
    QVERIFY(m_messages->messages.empty());
    for (int action = 0; action < 3; ++action) {
        if (action > 0)
            menu = openMenuOn(hit);
        QVERIFY(menu);
        menu->actions().at(action)->trigger();
        menu->close();
    }
    // Opening and showing say that the file is gone and ask nobody; its path is still copied.
    QVERIFY(m_desktop->opened.empty());
    QVERIFY(m_desktop->shown.empty());
    QCOMPARE(m_messages->messages.size(), size_t(2));
    for (const Message& m : m_messages->messages)
        QCOMPARE(m.text,
                 QStringLiteral("Die Datei gibt es nicht mehr:\n") + QString::fromUtf8(path("b.png")));
    QCOMPARE(QGuiApplication::clipboard()->text(), QString::fromUtf8(path("b.png")));
    // Enter on it: the full-screen window opens and shows no picture, as a double click does.
    SetListIndex(m_window->ui->lstFoundFiles, hit);
    QTest::keyClick(m_window->ui->lstFoundFiles, Qt::Key_Return);
    QVERIFY(m_window->fullScreenWindow());
    QVERIFY(m_window->fullScreenWindow()->ui->Image1->pixmap().isNull());
}

void TstFoundList::hitsDragOutAsFileUrls()
{
    // A name that is not UTF-8 travels as its own bytes.
    const QByteArray odd = "Bild \xff\xfe.jpg";
    test::writeBytes(path(odd), "not really a picture");
    search();
    ListBox* list = m_window->ui->lstFoundFiles;
    QVERIFY(list->dragEnabled());
    QCOMPARE(list->dragDropMode(), QAbstractItemView::DragOnly);
    QAbstractItemModel* model = list->model();
    const QModelIndex a = model->index(indexOf("a.jpg"), 0);
    const QModelIndex umlaut = model->index(indexOf("Ferien am Meer ä.jpg"), 0);
    const QModelIndex bytes = model->index(indexOf(odd), 0);
    QVERIFY(bytes.isValid());
    QVERIFY(model->flags(a) & Qt::ItemIsDragEnabled);
    QCOMPARE(model->supportedDragActions(), Qt::CopyAction);
    QCOMPARE(model->mimeTypes(), QStringList{QStringLiteral("text/uri-list")});
    std::unique_ptr<QMimeData> data(model->mimeData({a, umlaut, bytes}));
    QVERIFY(data);
    QVERIFY(data->hasFormat(QStringLiteral("text/uri-list")));
    const QList<QUrl> urls = data->urls();
    QCOMPARE(urls.size(), 3);
    QCOMPARE(urls[0], QUrl::fromLocalFile(QString::fromUtf8(path("a.jpg"))));
    QCOMPARE(urls[1].toLocalFile(), QString::fromUtf8(path("Ferien am Meer ä.jpg")));
    QCOMPARE(QByteArray::fromPercentEncoding(urls[2].path(QUrl::FullyEncoded).toLatin1()), path(odd));
    // The list as text/uri-list: one URL per line, CRLF-terminated.
    const QByteArray uriList = data->data(QStringLiteral("text/uri-list"));
    QCOMPARE(uriList.count("\r\n"), 3);
    QVERIFY(uriList.contains("%FF%FE.jpg"));
    // The other lists of the window do not drag.
    QVERIFY(!m_window->ui->filList->dragEnabled());
}

int main(int argc, char** argv)
{
    fotarik::imaging::runDecodeWorkerIfAsked(argc, argv);
    // No session bus: the file manager cannot be asked.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/fotarik-test-bus");
    QApplication app(argc, argv);
    TstFoundList test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_foundlist.moc"
