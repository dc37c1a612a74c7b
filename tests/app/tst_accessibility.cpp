// What assistive technology is told of both windows (the QAccessible interfaces the AT-SPI
// bridge hands on): every control has a name and the role of what it is, the found list's
// entries are announced by their paths, the top-level windows are frames; both windows carry
// the program's own icon.

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "appicon.h"
#include "budgets.h"
#include "capturingmessageseam.h"
#include "form1.h"
#include "globals.h"
#include "listbox.h"
#include "modlargelist.h"
#include "modul1.h"
#include "programflags.h"
#include "recordingbackend.h"
#include "suche.h"
#include "testfiles.h"
#include "textview.h"
#include "ui_form1.h"
#include "ui_suche.h"
#include "workermain.h"

using namespace fotarik;

namespace {

// The role a control of this kind must be announced with; NoRole for what is no control.
QAccessible::Role expectedRole(const QWidget* w)
{
    if (qobject_cast<const QCheckBox*>(w))
        return QAccessible::CheckBox;
    if (qobject_cast<const QAbstractButton*>(w))
        return QAccessible::Button;
    if (qobject_cast<const QLineEdit*>(w) || qobject_cast<const TextView*>(w))
        return QAccessible::EditableText;
    if (qobject_cast<const QScrollBar*>(w))
        return QAccessible::ScrollBar;
    if (qobject_cast<const QComboBox*>(w))
        return QAccessible::ComboBox;
    if (qobject_cast<const QAbstractItemView*>(w))
        return QAccessible::List;
    if (qobject_cast<const QGroupBox*>(w))
        return QAccessible::Grouping;
    return QAccessible::NoRole;
}

bool reachesWindow(QAccessibleInterface* iface, QAccessibleInterface* window)
{
    for (int depth = 0; iface && depth < 50; ++depth, iface = iface->parent())
        if (iface == window)
            return true;
    return false;
}

QImage iconPicture(const QIcon& icon)
{
    return icon.pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32);
}

} // namespace

class TstAccessibility : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void everyControlOfTheSearchWindowHasANameAndRole();
    void theFoundListAnnouncesItsEntriesByPath();
    void theTextBoxIsAMultiLineTextShowingItsRows();
    void everyControlOfTheFullScreenWindowHasANameAndRole();
    void bothWindowsCarryTheProgramsIcon();

private:
    // Checks every control of window; returns the names by design name.
    QHash<QString, QString> checkControls(QWidget* window);
    Form1* openFullScreen();

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RecordingBackend> m_media;
    std::unique_ptr<CapturingMessageSeam> m_messages;
    std::unique_ptr<Suche> m_window;
};

void TstAccessibility::init()
{
    test::resetProgramFlags({.vollbildGeladen = 1});
    m_dir = std::make_unique<QTemporaryDir>();
    m_media = std::make_unique<RecordingBackend>();
    m_messages = std::make_unique<CapturingMessageSeam>();
    for (const char* name : {"a.jpg", "Ferien ä.jpg"})
        test::writePicture(m_dir->filePath(QString::fromUtf8(name)), 64, 48);
    m_window = std::make_unique<Suche>(m_dir->path());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TstAccessibility::cleanup()
{
    m_window.reset();
    m_messages.reset();
    m_media.reset();
    m_dir.reset();
}

QHash<QString, QString> TstAccessibility::checkControls(QWidget* window)
{
    QHash<QString, QString> names;
    QAccessibleInterface* top = QAccessible::queryAccessibleInterface(window);
    if (!top)
        return names;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        const QAccessible::Role role = expectedRole(w);
        if (role == QAccessible::NoRole || w->objectName().startsWith(QLatin1String("qt_")) ||
            w->objectName().isEmpty())
            continue;
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
        if (!iface) {
            names.insert(w->objectName(), QStringLiteral("(no interface)"));
            continue;
        }
        const QString name = iface->text(QAccessible::Name);
        names.insert(w->objectName(), name);
        if (name.trimmed().isEmpty())
            qWarning("%s has no accessible name", qPrintable(w->objectName()));
        if (iface->role() != role)
            qWarning("%s has role 0x%x instead of 0x%x", qPrintable(w->objectName()), iface->role(), role);
        if (name.trimmed().isEmpty() || iface->role() != role || !reachesWindow(iface, top))
            names.insert(w->objectName(), QStringLiteral("(wrong: ") + name + u')');
    }
    return names;
}

void TstAccessibility::everyControlOfTheSearchWindowHasANameAndRole()
{
    QAccessibleInterface* top = QAccessible::queryAccessibleInterface(m_window.get());
    QVERIFY(top);
    // A frame, as every application's main window.
    QCOMPARE(top->role(), QAccessible::Window);
    QCOMPARE(top->text(QAccessible::Name), QStringLiteral("The Fotarik"));
    const QHash<QString, QString> names = checkControls(m_window.get());
    QVERIFY(names.size() >= 35);
    for (auto it = names.begin(); it != names.end(); ++it)
        QVERIFY2(!it.value().startsWith(u'('), qPrintable(it.key() + u' ' + it.value()));
    // Named by the label beside them or by what they hold.
    QCOMPARE(names.value(QStringLiteral("txtSearchSpec")), QStringLiteral("Suchkriterium"));
    QCOMPARE(names.value(QStringLiteral("lstFoundFiles")), QStringLiteral("Gefundene Dateien"));
    QCOMPARE(names.value(QStringLiteral("drvList")), QStringLiteral("Laufwerk"));
    QCOMPARE(names.value(QStringLiteral("dirList")), QStringLiteral("Verzeichnis"));
    QCOMPARE(names.value(QStringLiteral("Check2")), QStringLiteral("Endlosanzeige"));
    QCOMPARE(names.value(QStringLiteral("HScroll2")), QStringLiteral("Anzeigedauer"));
    QCOMPARE(names.value(QStringLiteral("chkSubFolder")), QStringLiteral("mit Unterordnern?"));
    QCOMPARE(names.value(QStringLiteral("cmdSearch")), QStringLiteral("Suchen"));
    QCOMPARE(names.value(QStringLiteral("chkP_3")), QStringLiteral("JPG"));
    // Without a label: the design name.
    QCOMPARE(names.value(QStringLiteral("HScroll1")), QStringLiteral("HScroll1"));
    // The tooltip says what a control is for.
    QCOMPARE(
        QAccessible::queryAccessibleInterface(m_window->ui->lstFoundFiles)->text(QAccessible::Description),
        QStringLiteral("Anzuzeigende Datei auswählen."));
    // The picture boxes are panels, the preview picture is named.
    QCOMPARE(QAccessible::queryAccessibleInterface(m_window->ui->Picture1)->role(), QAccessible::Pane);
    QCOMPARE(QAccessible::queryAccessibleInterface(m_window->ui->Picture2)->role(), QAccessible::Pane);
    QCOMPARE(QAccessible::queryAccessibleInterface(m_window->ui->Anzeige1)->text(QAccessible::Name),
             QStringLiteral("Vorschaubildfeld"));
}

void TstAccessibility::theFoundListAnnouncesItsEntriesByPath()
{
    m_window->ui->txtSearchSpec->setText(QStringLiteral("*.jpg"));
    QTest::mouseClick(m_window->ui->cmdSearch, Qt::LeftButton);
    ListBox* list = m_window->ui->lstFoundFiles;
    list->flushPendingRows();
    QCOMPARE(GetListCount(list), 2);
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(list);
    QVERIFY(iface);
    QCOMPARE(iface->role(), QAccessible::List);
    QCOMPARE(iface->childCount(), 2);
    QStringList spoken;
    for (int i = 0; i < iface->childCount(); ++i) {
        QAccessibleInterface* item = iface->child(i);
        QVERIFY(item);
        QCOMPARE(item->role(), QAccessible::ListItem);
        spoken << item->text(QAccessible::Name);
    }
    QStringList paths;
    for (int32_t i = 0; i < GetListCount(list); ++i)
        paths << QString::fromUtf8(GetListItem(list, i));
    QCOMPARE(spoken, paths);
    QVERIFY(paths.contains(m_dir->filePath(QStringLiteral("Ferien ä.jpg"))));
}

void TstAccessibility::theTextBoxIsAMultiLineTextShowingItsRows()
{
    TextView* box = m_window->ui->TextBox1;
    box->setPlainText(QStringLiteral("erste Zeile\nzweite Zeile"));
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(box);
    QVERIFY(iface);
    QCOMPARE(iface->role(), QAccessible::EditableText);
    QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("TextBox1"));
    QCOMPARE(iface->text(QAccessible::Value), QStringLiteral("erste Zeile\nzweite Zeile"));
    QVERIFY(iface->state().multiLine);
    QVERIFY(iface->state().editable);
    QVERIFY(!iface->state().readOnly);
    // A file too big to edit is read-only, and only the rows on screen are its value.
    const QString big = m_dir->filePath(QStringLiteral("gross.txt"));
    QFile file(big);
    QVERIFY(file.open(QIODevice::WriteOnly));
    const QByteArray line = QByteArray(99, 'x') + '\n';
    for (qint64 written = 0; written <= TextView::EditableBytes; written += line.size())
        file.write(line);
    file.close();
    LoadTextFile(QFile::encodeName(big), box);
    QTRY_VERIFY_WITH_TIMEOUT(box->isReadOnly() && box->visibleText().has_value() &&
                                 !box->visibleText()->isEmpty(),
                             budget::ms(budget::TestWait));
    QVERIFY(iface->state().readOnly);
    QVERIFY(!iface->state().editable);
    const QString value = iface->text(QAccessible::Value);
    QCOMPARE(value.count(u'\n') + 1, box->visibleText()->size());
    QVERIFY(value.size() < 100 * 1000);
    QVERIFY(value.startsWith(QString::fromLatin1(line.left(99))));
}

Form1* TstAccessibility::openFullScreen()
{
    m_window->ui->txtSearchSpec->setText(QStringLiteral("*.jpg"));
    QTest::mouseClick(m_window->ui->cmdSearch, Qt::LeftButton);
    m_window->ui->lstFoundFiles->flushPendingRows();
    SetListIndex(m_window->ui->lstFoundFiles, 0);
    QTest::keyClick(m_window->ui->lstFoundFiles, Qt::Key_Return);
    return m_window->fullScreenWindow();
}

void TstAccessibility::everyControlOfTheFullScreenWindowHasANameAndRole()
{
    Form1* form = openFullScreen();
    QVERIFY(form);
    QAccessibleInterface* top = QAccessible::queryAccessibleInterface(form);
    QVERIFY(top);
    QCOMPARE(top->role(), QAccessible::Window);
    QVERIFY(!top->text(QAccessible::Name).isEmpty());
    const QHash<QString, QString> names = checkControls(form);
    QVERIFY(names.size() >= 7);
    for (auto it = names.begin(); it != names.end(); ++it)
        QVERIFY2(!it.value().startsWith(u'('), qPrintable(it.key() + u' ' + it.value()));
    QCOMPARE(names.value(QStringLiteral("Check1")), QStringLiteral("Enlosanzeige"));
    QCOMPARE(names.value(QStringLiteral("Command4")), QStringLiteral("Stop"));
    QCOMPARE(names.value(QStringLiteral("HScroll2")), QStringLiteral("Anzeigedauer"));
    QCOMPARE(QAccessible::queryAccessibleInterface(form->ui->Picture1)->role(), QAccessible::Pane);
}

void TstAccessibility::bothWindowsCarryTheProgramsIcon()
{
    const QImage own = iconPicture(appIcon());
    QVERIFY(!own.isNull());
    // Drawn, not empty: the middle is opaque.
    QCOMPARE(qAlpha(own.pixel(16, 16)), 255);
    QCOMPARE(iconPicture(m_window->windowIcon()), own);
    QVERIFY(iconPicture(m_window->style()->standardIcon(QStyle::SP_FileDialogContentsView)) != own);
    Form1* form = openFullScreen();
    QVERIFY(form);
    QCOMPARE(iconPicture(form->windowIcon()), own);
}

FOTARIK_TEST_MAIN(TstAccessibility)
#include "tst_accessibility.moc"
