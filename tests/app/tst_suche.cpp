// The search window as it starts: its design, the command line, the type boxes, the
// drive and folder lists and the shortcut byte search.

#include "textview.h"
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QXmlStreamReader>
#include <sys/stat.h>

#include "capturingmessageseam.h"
#include "clongscroll.h"
#include "dirlistbox.h"
#include "drivelistbox.h"
#include "filelistbox.h"
#include "listbox.h"
#include "mediacommands.h"
#include "messagebox.h"
#include "modlargelist.h"
#include "recordingbackend.h"
#include "suche.h"
#include "testfiles.h"
#include "ui_suche.h"
#include "workermain.h"

using namespace fotarik;
using fotarik::test::writeFile;

namespace {

QByteArray bytes(const QString& s)
{
    return QFile::encodeName(s);
}

// A control as the Designer form describes it: name, geometry in pixels, the text it shows
// (text, title or plain text) and its tooltip.
struct DesignedControl
{
    QString name;
    QRect geometry;
    QString text;
    QString toolTip;
};

// The controls of a form, the window itself left out; a form that cannot be read records a
// failure and gives what it read.
QList<DesignedControl> designedControls(const QString& uiPath)
{
    QList<DesignedControl> controls;
    QFile file(uiPath);
    if (!file.open(QIODevice::ReadOnly)) {
        QTest::qFail(qPrintable(QStringLiteral("cannot read ") + uiPath), __FILE__, __LINE__);
        return controls;
    }
    QXmlStreamReader xml(&file);
    QList<qsizetype> open; // for each widget element still open, its entry (-1: the window)
    QString property;
    QRect rect;
    while (!xml.atEnd()) {
        xml.readNext();
        const auto name = xml.name();
        if (xml.isStartElement() && name == QLatin1String("widget")) {
            if (open.isEmpty()) {
                open.append(-1);
            } else {
                controls.append({xml.attributes().value(QLatin1String("name")).toString(), {}, {}, {}});
                open.append(controls.size() - 1);
            }
        } else if (xml.isEndElement() && name == QLatin1String("widget")) {
            open.removeLast();
        } else if (xml.isStartElement() && name == QLatin1String("property")) {
            property = xml.attributes().value(QLatin1String("name")).toString();
        } else if (xml.isStartElement() && !open.isEmpty() && open.last() >= 0) {
            DesignedControl& c = controls[open.last()];
            if (name == QLatin1String("x"))
                rect.moveLeft(xml.readElementText().toInt());
            else if (name == QLatin1String("y"))
                rect.moveTop(xml.readElementText().toInt());
            else if (name == QLatin1String("width"))
                rect.setWidth(xml.readElementText().toInt());
            else if (name == QLatin1String("height") && property == QLatin1String("geometry"))
                c.geometry = QRect(rect.topLeft(), QSize(rect.width(), xml.readElementText().toInt()));
            else if (name == QLatin1String("string") && property == QLatin1String("toolTip"))
                c.toolTip = xml.readElementText();
            else if (name == QLatin1String("string") &&
                     (property == QLatin1String("text") || property == QLatin1String("title") ||
                      property == QLatin1String("plainText")))
                c.text = xml.readElementText();
        }
    }
    if (xml.hasError())
        QTest::qFail(qPrintable(uiPath + QStringLiteral(": ") + xml.errorString()), __FILE__, __LINE__);
    return controls;
}

} // namespace

class TstSuche : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_media = std::make_unique<RecordingBackend>(); }

    void designOfEveryControl_data();
    void designOfEveryControl();
    void initialStateBeforeAnySearch();
    void tabOrderFollowsTheDesign();
    void bottomPanelIsDockedAtEverySize();
    void panelChildrenCountFromTheClientArea();
    void focusStartsOnThePatternBox();
    void tabOrderReachesBothScrollBars();

    void nurPfad_data();
    void nurPfad();
    void shortcutTargetByteSearch_data();
    void shortcutTargetByteSearch();
    void shortcutTargetOfRealShortcuts_data();
    void shortcutTargetOfRealShortcuts();

    void commandLineChoosesTheStartFolder_data();
    void commandLineChoosesTheStartFolder();
    void commandLineShortcutWithoutTargetKeepsTheFolder();
    void commandLineFollowsASymbolicLink();
    void commandLineKeepsBytesThatAreNotUtf8();
    void commandLinePathIsJoinedAndNormalised();
    void relativeFolderIsAFolderWhateverTheCurrentFolder();

    void typeBoxesComposeThePattern();
    void alleKeineToggles();
    void patternBoxSelectsAllOnFocus();

    void oneClickOpensASubFolderAndTheFileListFollows();
    void vanishedFolderLeavesTheListWhereItWas();
    void driveThatIsNotReadyFallsBackSilently();
    void driveListFocusRereadsTheTree();

private:
    std::unique_ptr<RecordingBackend> m_media;
};

void TstSuche::designOfEveryControl_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("toolTip");
    // Every control of the committed form (which tst_suchedesign holds to the design table).
    const QList<DesignedControl> controls = designedControls(QStringLiteral(FOTARIK_SUCHE_UI));
    QVERIFY2(controls.size() > 50, "the form lists the window's controls");
    for (const DesignedControl& c : controls)
        QTest::newRow(qPrintable(c.name)) << c.name << c.geometry << c.text << c.toolTip;
}

void TstSuche::designOfEveryControl()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(QString, toolTip);
    Suche window(QString{});
    auto* w = window.findChild<QWidget*>(name);
    QVERIFY2(w, qPrintable(name));
    // Labels may grow to fit their text in the substitute font, never shrink.
    // Inside a panel positions count from its client area, inside its border; a frame's
    // client area is the whole frame.
    for (QFrame* panel : {window.ui->Picture1, window.ui->Picture2, window.ui->PictureUnten})
        if (w->parentWidget() == panel)
            geometry.translate(panel->contentsRect().topLeft());
    if (qobject_cast<QLabel*>(w) && w->width() > geometry.width())
        QCOMPARE(w->geometry().adjusted(0, 0, geometry.width() - w->width(), 0), geometry);
    else
        QCOMPARE(w->geometry(), geometry);
    if (auto* label = qobject_cast<QLabel*>(w); label && !label->text().isEmpty())
        QVERIFY2(label->width() >= label->fontMetrics().horizontalAdvance(label->text()), qPrintable(name));
    QString shown;
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        shown = b->text();
    else if (auto* l = qobject_cast<QLabel*>(w))
        shown = l->text();
    else if (auto* e = qobject_cast<QLineEdit*>(w))
        shown = e->text();
    else if (auto* g = qobject_cast<QGroupBox*>(w))
        shown = g->title();
    else if (auto* t = qobject_cast<TextView*>(w))
        shown = t->toPlainText();
    // The start-up adds the slideshow's display time to its label.
    if (name == QLatin1String("Label9"))
        QVERIFY2(shown.startsWith(text + QLatin1Char(' ')), qPrintable(shown));
    else
        QCOMPARE(shown, text);
    QCOMPARE(w->toolTip(), toolTip);
}

void TstSuche::initialStateBeforeAnySearch()
{
    Suche window(QString{});
    window.show();
    QCOMPARE(window.windowTitle(), QStringLiteral("The Fotarik"));
    QCOMPARE(window.ui->txtSearchSpec->text(), QStringLiteral("*.JPG;*.JPEG;*.JFIF;*.JPE"));
    for (int i = 0; i < 23; ++i)
        QCOMPARE(window.chkP[size_t(i)]->isChecked(), i == 3 || i == 19 || i == 20 || i == 21);
    QVERIFY(window.ui->chkSubFolder->isChecked());
    for (QWidget* hidden :
         {static_cast<QWidget*>(window.ui->Frame2), static_cast<QWidget*>(window.ui->HScroll1),
          static_cast<QWidget*>(window.ui->TextBox1), static_cast<QWidget*>(window.ui->Anzeige1),
          static_cast<QWidget*>(window.ui->filList), static_cast<QWidget*>(window.ui->lblS)})
        QVERIFY2(!hidden->isVisible(), qPrintable(hidden->objectName()));
    QVERIFY(!window.ui->cmdDiaShow->isEnabled());
    QVERIFY(!window.ui->cmdAbbruch->isEnabled());
    QVERIFY(window.ui->cmdSearch->isEnabled());
    QCOMPARE(window.ui->Command2->text(), QStringLiteral("alle"));
    // The slideshow speed bar as the load sets it, and hsb attached to HScroll1.
    QCOMPARE(window.ui->HScroll2->minimum(), 1);
    QCOMPARE(window.ui->HScroll2->maximum(), 200);
    QCOMPARE(window.ui->HScroll2->value(), 10);
    QCOMPARE(window.ui->HScroll2->pageStep(), 10);
    QVERIFY(window.hsb);
    QCOMPARE(window.hsb->objectName(), QStringLiteral("hsb"));
    QCOMPARE(window.hsb->property("Max").toInt(), 32767);
    QCOMPARE(window.ui->HScroll1->maximum(), 32767);
    QVERIFY(window.ImagingToken != 0);
    // Fonts of the design, with their exact sizes.
    QCOMPARE(window.font().family(), QStringLiteral("MS Sans Serif"));
    QVERIFY(window.font().bold());
    QCOMPARE(window.ui->chkP_3->font().pointSizeF(), 6.75);
    QCOMPARE(window.ui->Label8->font().pointSizeF(), 15.75);
    QCOMPARE(window.ui->TextBox1->font().family(), QStringLiteral("Verdana"));
    QCOMPARE(window.ui->cmdSearch->font().pointSizeF(), 8.25);
    QVERIFY(!window.ui->cmdSearch->font().bold());
    // The list classes the large-list access accepts.
    for (QWidget* list :
         {static_cast<QWidget*>(window.ui->lstFoundFiles), static_cast<QWidget*>(window.ui->drvList),
          static_cast<QWidget*>(window.ui->dirList), static_cast<QWidget*>(window.ui->filList)})
        QVERIFY(QString::fromLatin1(list->metaObject()->className())
                    .contains(QLatin1String("listbox"), Qt::CaseInsensitive));
    QVERIFY(window.acceptDrops());
}

void TstSuche::tabOrderFollowsTheDesign()
{
    Suche window(QString{});
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.ui->txtSearchSpec->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), window.ui->txtSearchSpec);
    // Hidden, disabled and unfocusable controls are passed over; after the last type
    // box the order starts again at the pattern box.
    const QList<QWidget*> expected = {
        window.ui->dirList,      window.ui->drvList,      window.ui->lstFoundFiles, window.ui->cmdSearch,
        window.ui->chkP_0,       window.ui->chkP_1,       window.ui->chkP_2,        window.ui->chkP_3,
        window.ui->chkP_4,       window.ui->chkP_5,       window.ui->chkP_6,        window.ui->chkP_7,
        window.ui->chkP_11,      window.ui->chkP_12,      window.ui->chkP_13,       window.ui->Command2,
        window.ui->chkP_8,       window.ui->chkP_9,       window.ui->chkP_10,       window.ui->chkP_14,
        window.ui->chkP_15,      window.ui->chkP_16,      window.ui->chkP_17,       window.ui->chkP_18,
        window.ui->chkSubFolder, window.ui->chkP_19,      window.ui->chkP_20,       window.ui->chkP_21,
        window.ui->chkP_22,      window.ui->txtSearchSpec};
    for (QWidget* next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), next->objectName());
    }
}

void TstSuche::tabOrderReachesBothScrollBars()
{
    Suche window(QString{});
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    // As after a search and with the slideshow panel open.
    window.ui->HScroll1->show();
    window.ui->Frame2->show();
    window.ui->chkP_8->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), window.ui->chkP_8);
    const QList<QWidget*> expected = {window.ui->HScroll1, window.ui->chkP_9,   window.ui->chkP_10,
                                      window.ui->Command1, window.ui->Command3, window.ui->Command4,
                                      window.ui->HScroll2, window.ui->Check2,   window.ui->chkP_14};
    for (QWidget* next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), next->objectName());
    }
    // A click gives a scroll bar the focus too.
    QTest::mouseClick(window.ui->HScroll1, Qt::LeftButton, {}, window.ui->HScroll1->rect().center());
    QCOMPARE(QApplication::focusWidget(), window.ui->HScroll1);
}

void TstSuche::bottomPanelIsDockedAtEverySize()
{
    Suche window(QString{});
    window.show();
    QWidget* panel = window.ui->PictureUnten;
    const int panelHeight = panel->height();
    for (const QSize size : {window.size(), QSize(900, 700), QSize(1400, 1000), QSize(700, 450)}) {
        window.resize(size);
        QCOMPARE(window.size(), size);
        // Along the bottom edge over the whole width, its own height kept...
        QCOMPARE(panel->geometry(), QRect(0, size.height() - panelHeight, size.width(), panelHeight));
        // ... and the path line spans it.
        QCOMPARE(window.ui->Label1->geometry().right(), panel->width() - 1);
    }
    window.showMaximized();
    QTRY_COMPARE(panel->geometry().bottom(), window.height() - 1);
    QCOMPARE(panel->width(), window.width());
}

void TstSuche::panelChildrenCountFromTheClientArea()
{
    Suche window(QString{});
    // Both panels have a border; their children are placed inside it, each at its design
    // position counted from the client area's corner.
    for (QFrame* area : {window.ui->Picture1, window.ui->Picture2}) {
        const QRect client = area->contentsRect();
        QCOMPARE(client.topLeft(), QPoint(2, 2));
        for (QWidget* child : area->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (!child->isHidden() && !qobject_cast<QLabel*>(child)) // labels grow to fit their text
                QVERIFY2(client.contains(child->geometry()), qPrintable(child->objectName()));
    }
    // The text box starts at the preview area's client corner and leaves the border visible.
    QCOMPARE(window.ui->TextBox1->pos(), window.ui->Picture2->contentsRect().topLeft());
    // In the list panel: the drive list at 105, 45 twips, the found list at 1755, 345 twips.
    QCOMPARE(window.ui->drvList->pos(), QPoint(7 + 2, 3 + 2));
    QCOMPARE(window.ui->lstFoundFiles->pos(), QPoint(117 + 2, 23 + 2));
    QCOMPARE(window.ui->chkSubFolder->pos(), QPoint(8 + 2, 128 + 2));
    // A frame's children stay where the design puts them: its caption lies over its client area.
    QCOMPARE(window.ui->chkP_0->pos(), QPoint(8, 32));
    QCOMPARE(window.ui->Command1->pos(), QPoint(120, 16));
}

void TstSuche::focusStartsOnThePatternBox()
{
    Suche window(QString{});
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    // The first control of the tab order that takes the focus; the panels take none.
    QTRY_COMPARE(QApplication::focusWidget(), window.ui->txtSearchSpec);
    QCOMPARE(window.ui->Picture1->focusPolicy(), Qt::NoFocus);
    // Space goes into the pattern box: no type box is ticked by it.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    for (int i = 0; i < 23; ++i)
        QCOMPARE(window.chkP[size_t(i)]->isChecked(), i == 3 || i == 19 || i == 20 || i == 21);
}

void TstSuche::nurPfad_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("folder");
    QTest::newRow("file") << "/home/u/Bilder/a.jpg"
                          << "/home/u/Bilder/";
    QTest::newRow("no slash") << "a.jpg"
                              << "";
    QTest::newRow("root") << "/"
                          << "/";
    QTest::newRow("folder with slash") << "/srv/fotos/"
                                       << "/srv/fotos/";
    QTest::newRow("empty") << ""
                           << "";
}

void TstSuche::nurPfad()
{
    QFETCH(QString, path);
    QFETCH(QString, folder);
    QCOMPARE(Suche::nur_Pfad(path), folder);
    QCOMPARE(Suche::nur_Pfad(bytes(path)), bytes(folder));
}

void TstSuche::shortcutTargetByteSearch_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("item list then path")
        << QByteArray("L\0\0\0C:\\\0\x14\0junkC:\\Bilder\\Urlaub.jpg\0\0tail", 39)
        << QByteArray("C:\\Bilder\\Urlaub.jpg");
    QTest::newRow("only one drive mark") << QByteArray("xxC:\\a\0\0", 8) << QByteArray();
    QTest::newRow("no drive mark") << QByteArray("plain text") << QByteArray();
    QTest::newRow("no double NUL after the second mark") << QByteArray("C:\\ D:\\x\0y", 10) << QByteArray();
    QTest::newRow("empty file") << QByteArray() << QByteArray();
}

void TstSuche::shortcutTargetByteSearch()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, target);
    QCOMPARE(shortcutTargetFromBytes(content), target);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("x.lnk"));
    writeFile(file, content);
    QCOMPARE(ShortcutTarget(bytes(file)), target);
}

void TstSuche::shortcutTargetOfRealShortcuts_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("WordPad") << "ez_WinXP_WordPad.lnk"
                             << QByteArray("C:\\Program Files\\Windows NT\\Accessories\\wordpad.exe");
    QTest::newRow("Windows Update") << "ez_WinVista_Windows_Update.lnk"
                                    << QByteArray("D:\\Windows\\System32\\wuapp.exe");
    QTest::newRow("microsoft example") << "lp3_microsoft_example.lnk" << QByteArray("C:\\test\\a.txt");
    QTest::newRow("powershell") << "lp3_console_properties_block.lnk"
                                << QByteArray(
                                       "C:\\Windows\\SysWOW64\\WindowsPowerShell\\v1.0\\powershell.exe");
    QTest::newRow("directory") << "ez_Misc_local.directory.seven.lnk" << QByteArray("C:\\Users\\");
    // One ASCII drive mark only, or none: no target.
    QTest::newRow("one mark") << "lp3_decoding_error3.lnk" << QByteArray();
    QTest::newRow("network") << "lp3_network_info.lnk" << QByteArray();
    QTest::newRow("no mark") << "ez_Misc_remote.file.xp.lnk" << QByteArray();
    QTest::newRow("app shortcut") << "ez_Win81_PhotosApp.lnk" << QByteArray();
}

void TstSuche::shortcutTargetOfRealShortcuts()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, target);
    const QString path = QStringLiteral(FOTARIK_CORPUS_DIR "/lnk/") + file;
    if (!QFile::exists(path))
        QSKIP("shortcut corpus not present");
    QCOMPARE(ShortcutTarget(bytes(path)), target);
}

void TstSuche::commandLineChoosesTheStartFolder_data()
{
    QTest::addColumn<QString>("argument"); // relative to the temporary folder, quoted as given
    QTest::addColumn<QString>("folder");   // expected dirList path, relative
    QTest::newRow("file") << "\"%1/Bilder/Urlaub.jpg\""
                          << "Bilder";
    QTest::newRow("folder without dot") << "%1/Fotos"
                                        << "Fotos";
    QTest::newRow("folder with a dot opens its parent") << "%1/Fotos.alt"
                                                        << "";
    QTest::newRow("blanks, quoted") << "\"%1/Eigene Dateien/mein bild.jpg\""
                                    << "Eigene Dateien";
    QTest::newRow("shortcut in capitals is a plain file") << "%1/Fotos/Bild.LNK"
                                                          << "Fotos";
    QTest::newRow("umlauts") << "%1/Grüße/ä.jpg"
                             << "Grüße";
}

void TstSuche::commandLineChoosesTheStartFolder()
{
    QFETCH(QString, argument);
    QFETCH(QString, folder);
    QTemporaryDir dir;
    QDir d(dir.path());
    for (const char* sub : {"Bilder", "Fotos", "Fotos.alt", "Eigene Dateien", "Grüße"})
        QVERIFY(d.mkpath(QString::fromUtf8(sub)));
    writeFile(dir.filePath(QStringLiteral("Bilder/Urlaub.jpg")));
    writeFile(dir.filePath(QStringLiteral("Fotos/Bild.LNK")), QByteArray("C:\\x C:\\y\0\0", 11));
    CapturingMessageSeam messages;
    Suche window(argument.arg(dir.path()));
    const QString expected = folder.isEmpty() ? dir.path() : dir.filePath(folder);
    QCOMPARE(window.ui->dirList->Path(), expected);
    QCOMPARE(window.ui->filList->Path(), expected);
    QCOMPARE(
        window.ui->drvList->Drive(),
        window.ui->drvList->volumes()[size_t(volumeIndexOf(window.ui->drvList->volumes(), bytes(expected)))]
            .mountPoint);
    QVERIFY(messages.messages.empty());
}

void TstSuche::commandLineShortcutWithoutTargetKeepsTheFolder()
{
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("kaputt.lnk")), "garbage without any drive mark");
    CapturingMessageSeam messages;
    const QString before = QDir::currentPath();
    Suche window(dir.filePath(QStringLiteral("kaputt.lnk")));
    QCOMPARE(window.ui->dirList->Path(), QDir::homePath());
    Suche missing(dir.filePath(QStringLiteral("gibt es nicht/a.jpg")));
    QCOMPARE(missing.ui->dirList->Path(), before);
    QVERIFY(messages.messages.empty());
}

void TstSuche::commandLineFollowsASymbolicLink()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("ziel/tief")));
    writeFile(dir.filePath(QStringLiteral("ziel/tief/bild.jpg")));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("ziel/tief/bild.jpg")),
                        dir.filePath(QStringLiteral("verweis.jpg"))));
    Suche window(dir.filePath(QStringLiteral("verweis.jpg")));
    QCOMPARE(window.ui->dirList->Path(),
             QFileInfo(dir.filePath(QStringLiteral("ziel/tief"))).canonicalFilePath());
}

void TstSuche::commandLineKeepsBytesThatAreNotUtf8()
{
    QTemporaryDir dir;
    // "ä" written in Latin-1: the byte 0xE4 followed by "er" is no UTF-8. The literal is
    // split so that the escape ends after the two hex digits.
    const QByteArray name = "Bild\xe4"
                            "er alt";
    QCOMPARE(name.size(), 11);
    QCOMPARE(name.at(4), '\xe4');
    QVERIFY(!name.isValidUtf8());
    const QByteArray folder = bytes(dir.path()) + '/' + name;
    QCOMPARE(::mkdir(folder.constData(), 0755), 0);
    Suche window(folder + "/foto.jpg");
    QCOMPARE(window.ui->dirList->pathBytes(), folder);
    QCOMPARE(window.ui->filList->pathBytes(), folder);
    fotarik::test::removeTreeByBytes(folder);
}

void TstSuche::commandLinePathIsJoinedAndNormalised()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("Fotos/Urlaub")));
    writeFile(dir.filePath(QStringLiteral("Fotos/a.jpg")));
    struct BackHome
    {
        QString folder = QDir::currentPath();
        ~BackHome() { QDir::setCurrent(folder); }
    } backHome;
    const auto rootRows = [](Suche& w) {
        int n = 0;
        for (int i = 0; i < w.ui->dirList->count(); ++i)
            n += w.ui->dirList->item(i)->text() == QLatin1String("/");
        return n;
    };
    // "." segments and doubled "/" go before the folder is chosen: this names a folder.
    QVERIFY(QDir::setCurrent(dir.path()));
    {
        Suche w(QStringLiteral("./Fotos//Urlaub/."));
        QCOMPARE(w.ui->dirList->Path(), dir.filePath(QStringLiteral("Fotos/Urlaub")));
        QCOMPARE(rootRows(w), 1);
    }
    // From the root folder a relative path is joined without a second "/".
    QVERIFY(QDir::setCurrent(QStringLiteral("/")));
    {
        Suche w(dir.path().mid(1) + QStringLiteral("/Fotos/a.jpg"));
        QCOMPARE(w.ui->dirList->Path(), dir.filePath(QStringLiteral("Fotos")));
        QCOMPARE(rootRows(w), 1);
        QTest::mouseClick(w.ui->cmdSearch, Qt::LeftButton);
        QCOMPARE(GetListCount(w.ui->lstFoundFiles), 1);
        QCOMPARE(GetListItem(w.ui->lstFoundFiles, 0), bytes(dir.filePath(QStringLiteral("Fotos/a.jpg"))));
    }
    // The folder list itself never takes "//" or "." into its chain.
    Suche w(QString{});
    w.ui->dirList->setPathBytes(bytes(QStringLiteral("/%1//./Fotos/").arg(dir.path().mid(1))));
    QCOMPARE(w.ui->dirList->Path(), dir.filePath(QStringLiteral("Fotos")));
    QCOMPARE(rootRows(w), 1);
}

void TstSuche::relativeFolderIsAFolderWhateverTheCurrentFolder()
{
    // The current folder's names hold dots; the argument as given holds none.
    QTemporaryDir dir;
    const QString home = dir.filePath(QStringLiteral("john.doe"));
    QVERIFY(QDir(home).mkpath(QStringLiteral("Fotos/2024")));
    QVERIFY(QDir(home).mkpath(QStringLiteral("Fotos.alt")));
    writeFile(home + QStringLiteral("/Fotos/bild.jpg"));
    struct BackHome
    {
        QString folder = QDir::currentPath();
        ~BackHome() { QDir::setCurrent(folder); }
    } backHome;
    QVERIFY(QDir::setCurrent(home));
    CapturingMessageSeam messages;
    const struct
    {
        const char* argument;
        QString folder;
    } cases[] = {
        {"Fotos", home + QStringLiteral("/Fotos")},
        {"Fotos/2024", home + QStringLiteral("/Fotos/2024")},
        {"\"Fotos\"", home + QStringLiteral("/Fotos")},
        // With a dot in the argument itself it names a file: its folder opens.
        {"Fotos.alt", home},
        {"Fotos/bild.jpg", home + QStringLiteral("/Fotos")},
    };
    for (const auto& c : cases) {
        Suche window(QString::fromLatin1(c.argument));
        QVERIFY2(
            window.ui->dirList->Path() == c.folder,
            qPrintable(
                QStringLiteral("%1 opened %2").arg(QLatin1String(c.argument), window.ui->dirList->Path())));
        QCOMPARE(window.ui->filList->Path(), c.folder);
    }
    QVERIFY(messages.messages.empty());
}

void TstSuche::typeBoxesComposeThePattern()
{
    Suche window(QString{});
    window.chkP[3]->click();
    QCOMPARE(window.ui->txtSearchSpec->text(), QStringLiteral("*.JPEG;*.JFIF;*.JPE"));
    window.chkP[3]->click();
    window.chkP[0]->click();
    QCOMPARE(window.ui->txtSearchSpec->text(), QStringLiteral("*.BMP;*.JPG;*.JPEG;*.JFIF;*.JPE"));
    window.ui->txtSearchSpec->setText(QStringLiteral("*.XYZ"));
    window.chkP[4]->click();
    QCOMPARE(window.ui->txtSearchSpec->text(), QStringLiteral("*.BMP;*.JPG;*.GIF;*.JPEG;*.JFIF;*.JPE"));
    // The box naming two extensions contributes one element each.
    window.chkP[15]->click();
    QCOMPARE(window.ui->txtSearchSpec->text(),
             QStringLiteral("*.BMP;*.JPG;*.GIF;*.HTM;*.HTML;*.JPEG;*.JFIF;*.JPE"));
    for (QCheckBox* box : window.chkP)
        if (box->isChecked())
            box->click();
    QCOMPARE(window.ui->txtSearchSpec->text(), QString());
}

void TstSuche::alleKeineToggles()
{
    Suche window(QString{});
    QTest::mouseClick(window.ui->Command2, Qt::LeftButton);
    QCOMPARE(window.ui->Command2->text(), QStringLiteral("keine"));
    QCOMPARE(
        window.ui->txtSearchSpec->text(),
        QStringLiteral("*.BMP;*.WMF;*.ICO;*.JPG;*.GIF;*.DIB;*.EMF;*.CUR;*.WAV;*.AVI;*.MID;*.TXT;*.ASC;*.INI;"
                       "*.MP3;*.HTM;*.HTML;*.PNG;*.TIF;*.RLE;*.JPEG;*.JFIF;*.JPE;*.TIFF"));
    // After "alle" the user may untick some boxes; the next click still unticks all.
    window.chkP[5]->click();
    QTest::mouseClick(window.ui->Command2, Qt::LeftButton);
    QCOMPARE(window.ui->Command2->text(), QStringLiteral("alle"));
    QCOMPARE(window.ui->txtSearchSpec->text(), QString());
    for (QCheckBox* box : window.chkP)
        QVERIFY(!box->isChecked());
    // TIFF alone, then "alle": every element once, ending with JPE and TIFF.
    window.chkP[22]->click();
    QTest::mouseClick(window.ui->Command2, Qt::LeftButton);
    const QString all = window.ui->txtSearchSpec->text();
    QVERIFY(all.endsWith(QStringLiteral("*.JPE;*.TIFF")));
    QCOMPARE(all.count(QStringLiteral("*.TIFF")), 1);
}

void TstSuche::patternBoxSelectsAllOnFocus()
{
    Suche window(QString{});
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::mouseClick(window.ui->txtSearchSpec, Qt::LeftButton, {}, QPoint(5, 5));
    QTRY_COMPARE(window.ui->txtSearchSpec->selectedText(), window.ui->txtSearchSpec->text());
    // Again by keyboard, after the selection was lost.
    window.ui->txtSearchSpec->deselect();
    window.ui->dirList->setFocus();
    window.ui->txtSearchSpec->setFocus(Qt::TabFocusReason);
    QTRY_COMPARE(window.ui->txtSearchSpec->selectedText(), window.ui->txtSearchSpec->text());
}

void TstSuche::oneClickOpensASubFolderAndTheFileListFollows()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("alpha")));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("beta")));
    writeFile(dir.filePath(QStringLiteral("beta/x.jpg")));
    Suche window(dir.path());
    window.show();
    DirListBox* list = window.ui->dirList;
    QCOMPARE(list->Path(), dir.path());
    QCOMPARE(list->ListCount(), 2);
    QCOMPARE(list->List(1), dir.filePath(QStringLiteral("beta")));
    QCOMPARE(list->List(-1), dir.path());
    const int row = list->count() - 1; // the last sub-folder, "beta"
    list->scrollToItem(list->item(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
    QCOMPARE(list->Path(), dir.filePath(QStringLiteral("beta")));
    QCOMPARE(window.ui->filList->Path(), dir.filePath(QStringLiteral("beta")));
    QCOMPARE(window.ui->filList->fileNames(), QStringList{QStringLiteral("x.jpg")});
    // A click on the current folder's own entry changes nothing.
    QSignalSpy changes(list, &DirListBox::Change);
    const int current = list->count() - 1 - list->ListCount();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(current)).center());
    QCOMPARE(changes.count(), 0);
}

void TstSuche::vanishedFolderLeavesTheListWhereItWas()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("weg")));
    CapturingMessageSeam messages;
    Suche window(dir.path());
    window.show();
    DirListBox* list = window.ui->dirList;
    QVERIFY(QDir(dir.filePath(QStringLiteral("weg"))).removeRecursively());
    const int row = list->count() - 1;
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
    QCOMPARE(list->Path(), dir.path());
    QVERIFY(messages.messages.empty());
}

void TstSuche::driveThatIsNotReadyFallsBackSilently()
{
    QTemporaryDir dir;
    CapturingMessageSeam messages;
    Suche window(dir.path());
    std::vector<Volume> volumes = window.ui->drvList->volumes();
    volumes.push_back(Volume{"/nicht/bereit/laufwerk", QStringLiteral("USB")});
    window.ui->drvList->setVolumes(volumes);
    const QString driveBefore = window.ui->drvList->Drive();
    const int notReady =
        window.ui->drvList->findText(QStringLiteral("/nicht/bereit/laufwerk"), Qt::MatchStartsWith);
    QVERIFY(notReady >= 0);
    window.ui->drvList->setCurrentIndex(notReady);
    emit window.ui->drvList->activated(notReady); // the user's choice
    QCOMPARE(window.ui->drvList->Drive(), driveBefore);
    QVERIFY(QFileInfo(window.ui->dirList->Path()).isDir());
    QVERIFY(messages.messages.empty());
}

void TstSuche::driveListFocusRereadsTheTree()
{
    QTemporaryDir dir;
    Suche window(dir.path());
    window.show();
    QCOMPARE(window.ui->dirList->ListCount(), 0);
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("neu")));
    window.ui->drvList->setFocus();
    QFocusEvent focusIn(QEvent::FocusIn, Qt::TabFocusReason);
    QApplication::sendEvent(window.ui->drvList, &focusIn); // offscreen, focus may not move by itself
    QCOMPARE(window.ui->dirList->ListCount(), 1);
}

FOTARIK_TEST_MAIN(TstSuche)
#include "tst_suche.moc"
