#pragma once
// The full-screen window: shows one entry of the search window's found list at a time on a
// black window, steps through the list with the arrow keys, its scroll bar or a timed
// slideshow, and hands the shown position back to the found list when it closes.
//
// One instance per opening: the constructor performs the window's load (it reads the found
// list's count and selected index, sets VollbildAktiv and starts an imaging session); the
// caller prepares it for a picture or a text, calls showOnSearchScreen() and hides the
// search window. Closing hides the window (it does not delete itself) and shows the search
// window again; a slideshow pass still on the stack ends at once and never touches the
// window again, so the owner may delete a closed Form1 at any later time.

#include <QElapsedTimer>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>

namespace Ui {
class Form1;
}

namespace fotarik {

class CLongScroll;
class PicturePrefetch;

class Form1 : public QWidget
{
    Q_OBJECT

public:
    // foundList: the search window's found list, read and positioned only through the large
    // list access. searchWindow: shown again when this window closes.
    Form1(QObject* foundList, QWidget* searchWindow, QWidget* parent = nullptr);
    ~Form1() override;

    // Opens the window maximized on the screen the search window is on.
    void showOnSearchScreen();

    // Before the first showing: the window opens on a picture, its text area hidden.
    void prepareForPicture();
    // Before the first showing: the window opens on the text of path, its picture hidden.
    void prepareForText(const QByteArray& path);

    // The part of path after its last "/"; the whole text when it holds none.
    static QString Nurdatei(const QString& path);

    // The information line's text for entry i of n (0-based i), as Label1 shows it.
    static QString informationLine(const QString& typeWord, int64_t i, int64_t n, const QByteArray& path);

    // The window's form, for the tests that look inside it; the program itself goes through
    // the operations above (ui_form1.h is not exported to the other libraries).
    std::unique_ptr<Ui::Form1> ui;
    CLongScroll* hsb = nullptr;
    int32_t PicAreaWidth = 0;
    int32_t PicAreaHeight = 0;
    int16_t DiaFlag = 0; // Dia::Running, Dia::Next or Dia::Stop (slideshow.h)
    uint32_t ImagingToken = 0;

    // Slideshow operations (the panel's buttons call these).
    void Command1_Click(); // Start
    void Command3_Click(); // Next
    void Command4_Click(); // Stop

    // Shows the entry at hsb.Value.
    void Anzeige();

    // True from the first close on; a closed window never shows anything again.
    bool isClosed() const { return m_closed; }

    // Whether the next entry's picture is prepared in advance while one is shown (on by
    // default; what is shown and when does not depend on it).
    void setPrefetchEnabled(bool enabled);
    // Whether the next entry's picture has been prepared (its worker has answered).
    bool nextPicturePrepared() const;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Load();
    void Form_Resize();
    void togglePanel();
    void computePicArea();
    bool showPicture(const QByteArray& path, int64_t i, int64_t n);
    void setLabel1(const QString& typeWord, int64_t i, int64_t n, const QByteArray& path);
    void prefetchNext(int64_t i);
    void HScroll2_Change();
    bool handleKeyDown(QObject* receiver, QKeyEvent* event);
    bool handlePanelMouse(QEvent* event);
    double outerWidthTwips() const;

    std::unique_ptr<PicturePrefetch> m_prefetch;
    QPointer<QObject> m_foundList;
    QPointer<QWidget> m_searchWindow;
    bool m_closed = false;
    // A press on the bare background arms a click; the release that follows a double
    // click must not toggle a second time.
    bool m_windowClickArmed = false;
    bool m_panelClickArmed = false;
    QElapsedTimer m_panelClickTime;
    // When a click on the bare window last brought the panel up.
    QElapsedTimer m_windowClickTime;
    QRect m_panelRectAtClick;
};

} // namespace fotarik
