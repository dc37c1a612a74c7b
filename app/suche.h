#pragma once
// The search window: start-up and shutdown, type selection, drive and folder lists, the
// search run, the preview of the found list's entries, its slideshow, the clipboard copy
// and dropped files. Its handlers read as the list of steps they perform.

#include <QPointer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "form1.h"
#include "shortcut.h"
#include "uebersicht.h"

class QCheckBox;
class QLabel;

namespace Ui {
class Suche;
}

namespace fotarik {

class CLongScroll;

class Suche : public QWidget
{
    Q_OBJECT

public:
    // commandLine: the program's arguments joined by single blanks, as the file system's
    // bytes (the text form is for callers that have no bytes).
    explicit Suche(const QByteArray& commandLine, QWidget* parent = nullptr);
    explicit Suche(const QString& commandLine, QWidget* parent = nullptr);
    ~Suche() override;

    // The part of Dateiname up to and including its last "/"; "" when there is none.
    static QString nur_Pfad(const QString& Dateiname);
    static QByteArray nur_Pfad(const QByteArray& Dateiname);

    // Points the drive and folder lists at the folder of a file or folder path: a file's
    // folder, a folder without a dot itself, a name with a dot its parent. The drive is
    // taken from driveText when given, else from path.
    void SelectPathFolder(QByteArray path, const QByteArray& driveText = QByteArray());

    // Shows the found-list entry at hsb's Value.
    void ThumbNailShow();

    // For tests that play a slow drive: called before each call of a search's walk into
    // the file system (an open or a listing of a folder), on the thread that makes it, with
    // the path it concerns. Empty: none.
    static void setWalkCallHookForTests(std::function<void(std::string_view)> hook);

    // The full-screen window while it exists (tests, and the window's own hand-back).
    Form1* fullScreenWindow() const { return m_form1; }

    // Opens the overview of the found list (or brings it to the front); F3 and the found
    // list's context menu do this.
    Uebersicht& openOverview();
    Uebersicht* overviewWindow() const { return m_overview; }
    static QString overviewText() { return QStringLiteral("Übersicht"); }

    std::unique_ptr<Ui::Suche> ui;
    CLongScroll* hsb = nullptr;
    uint32_t ImagingToken = 0;
    int32_t SearchCancelled = 0;
    int16_t DiaFlag = 0; // Dia::Running, Dia::Next or Dia::Stop (slideshow.h)
    std::array<QCheckBox*, 23> chkP{};

    // True from the start of a search walk to its end.
    bool isSearching() const { return m_searching; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // Start-up
    void Form_Load(const QByteArray& commandLine);
    void paintPreviewBackground(QWidget* area);
    void dockBottomPanel();
    void nameForAssistiveTechnology();
    void applyCommandLine(const QByteArray& commandLine);

    // Type selection
    void chkP_Click(int index);
    void Command2_Click();

    // Drive and folder lists
    void drvList_Change();
    void drvList_GotFocus();
    void dirList_Change();
    void dirList_MouseUp();
    QByteArray currentFolderOfDrive(const QByteArray& mountPoint);

    // Search run
    void cmdSearch_Click();
    void cmdAbbruch_Click();
    void runWalk(const QString& patternList);

    // Preview and list interaction
    void hsb_Change();
    void hsb_Scroll();
    void lstFoundFiles_MouseDown();
    void lstFoundFiles_DblClick();
    void Anzeige1_Click();
    void Uebersicht_Select(int32_t row);
    void Uebersicht_Open(int32_t row);
    void stopPreviewMedia();
    // The drop of files onto the window (names as the file system's bytes).
    void filesDropped(const QList<QByteArray>& names);

    // Slideshow
    void cmdDiaShow_Click();
    void Command1_Click();
    void Command3_Click();
    void Command4_Click();
    void HScroll2_Change();

    Form1& openFullScreen();
    CLongScroll& hsbRef() const;
    void setBusy(bool busy);

    QPointer<Form1> m_form1;
    QPointer<Uebersicht> m_overview;
    bool m_gradientShown = true;
    bool m_searching = false;
    bool m_closeRequested = false;
    bool m_pictureClickArmed = false;
    bool m_unloaded = false;
    int m_driveChangeDepth = 0;
};

// The target of a symbolic link (fully resolved), or path itself when it is none.
QByteArray followSymbolicLink(const QByteArray& path);

// The type-box composition: "*." + caption + ";" for each ticked box in index order,
// without the last ";". The box "HTM, HTML" contributes one element per extension.
QString composeSearchSpec(const std::array<bool, 23>& ticked);
inline constexpr std::array<const char*, 23> TypeCaptions = {
    "BMP", "WMF", "ICO", "JPG",       "GIF", "DIB", "EMF", "CUR",  "WAV",  "AVI", "MID", "TXT",
    "ASC", "INI", "MP3", "HTM, HTML", "PNG", "TIF", "RLE", "JPEG", "JFIF", "JPE", "TIFF"};

} // namespace fotarik
