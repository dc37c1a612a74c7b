// The search run of the search window: validation, busy state, the walk into the found
// list, the count, the list's width and the position over the hits.

#include "textview.h"
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "clongscroll.h"
#include "listextent.h"
#include "messagebox.h"
#include "modlargelist.h"
#include "patterntext.h"
#include "suche.h"
#include "trystep.h"
#include "ui_suche.h"
#include "vbmath.h"
#include "walker.h"

namespace fotarik {
namespace {

// Hands the walker's reports to the window's controls. Events are served at the start of a
// folder once ServeIntervalMs has passed since they last were, and inside a long folder at
// screen pace, so a click on the cancel button is seen within a few milliseconds, at the
// next folder or entry; serving them at every folder would cost a system call a folder,
// a fifth of the walk. The two labels take the walker's latest values at screen pace only,
// because painting them at every folder would cost ten times the walk. Never switch the
// window's updates off around serving events: on X11 that swallows the pending repaint and
// leaves the screen showing the searching state after the walk.
class WindowSink : public search::WalkSink
{
public:
    WindowSink(Suche& window, Ui::Suche& ui) : m_window(window), m_ui(ui) {}

    void serveEvents() override
    {
        if (m_served.isValid() && m_served.elapsed() < ServeIntervalMs)
            return;
        serveNow();
    }
    void serveEventsWhileListing() override { serveNow(); }
    void folderEntered(std::string_view folder) override
    {
        m_folder.assign(folder.data(), folder.size());
        m_folderChanged = true;
    }
    bool cancelRequested() override { return m_window.SearchCancelled == 1; }
    void hitFound(std::string_view path, int32_t runningTotal) override
    {
        // The list copies the bytes: they need no copy of their own on the way.
        AddItem(m_ui.lstFoundFiles,
                QByteArray::fromRawData(path.data(), static_cast<qsizetype>(path.size())));
        m_total = runningTotal;
    }

    // Writes the latest folder and running total to the labels (also at the end of a
    // walk, so the labels are never behind what the walker reported).
    void showLatest()
    {
        if (m_folderChanged || m_total != m_totalShown)
            m_shown.start(); // the first values are shown at once, later ones at screen pace
        if (m_folderChanged) {
            m_folderChanged = false;
            m_ui.Label1->setText(QString::fromUtf8(m_folder.data(), static_cast<qsizetype>(m_folder.size())));
        }
        if (m_total != m_totalShown) {
            m_totalShown = m_total;
            m_ui.lblCount->setText(QString::number(m_total));
        }
    }

    // Well under the 100 ms at which a display still looks live, and some 25 paints a
    // second cost little next to the walk.
    static constexpr qint64 LabelIntervalMs = 40;
    // Far below what a user can tell from at once.
    static constexpr qint64 ServeIntervalMs = 2;

private:
    void serveNow()
    {
        if (!m_shown.isValid() || m_shown.elapsed() >= LabelIntervalMs)
            showLatest();
        QCoreApplication::processEvents();
        m_served.start();
    }

    Suche& m_window;
    Ui::Suche& m_ui;
    QElapsedTimer m_shown;
    QElapsedTimer m_served;
    std::string m_folder;
    bool m_folderChanged = false;
    int32_t m_total = 0;
    int32_t m_totalShown = 0; // so the count is first written at the first hit
};

std::function<void(std::string_view)>& walkCallHook()
{
    static std::function<void(std::string_view)> hook;
    return hook;
}

} // namespace

void Suche::setWalkCallHookForTests(std::function<void(std::string_view)> hook)
{
    walkCallHook() = std::move(hook);
}

void Suche::cmdSearch_Click()
{
    tryStep("reset the cancel flag", [&] { SearchCancelled = 0; });
    tryStep("hide the position bar", [&] { ui->HScroll1->hide(); });
    tryStep("reset the preview area", [&] {
        m_gradientShown = false;
        ui->Anzeige1->clear();
        // The whole area is emptied: a text an earlier preview showed goes as well.
        ui->Anzeige1->hide();
        ui->TextBox1->hide();
        ui->TextBox1->setPlainText(QString());
        ui->Picture2->update();
    });
    tryStep("empty the labels", [&] {
        ui->Label8->hide();
        ui->Label2->setText(QString());
        ui->Label3->setText(QString());
        ui->Label1->setText(QString());
    });
    const QString patternText = ui->txtSearchSpec->text();
    if (patternText.size() < 3) {
        // Intended: the blank before the "!" is part of the text.
        showMessage(QStringLiteral("Bitte ein Suchkriterium auswählen !"), QStringLiteral("Dateisuche-Info"),
                    MsgIcon::Information, this);
        return;
    }
    tryStep("enter the searching state", [&] {
        ui->lblS->show();
        ui->Picture1->setEnabled(false);
        ui->cmdDiaShow->setEnabled(false);
        ui->cmdSearch->setEnabled(false);
    });
    tryStep("hand the pattern to the file list", [&] { ui->filList->setPattern(patternText); });
    tryStep("empty the found list", [&] { ClearList(ui->lstFoundFiles); });
    QString patternList;
    tryStep("form the pattern list", [&] { patternList = search::preparePatternList(patternText); });
    tryStep("show the hourglass", [&] {
        setBusy(true);
        ui->cmdAbbruch->setEnabled(true);
    });
    runWalk(patternList);
    tryStep("prepare hsb for the count", [&] {
        hsbRef().setMin(0);
        hsbRef().setMax(ui->lblCount->text().toInt());
        hsbRef().setSmallChange(1);
        hsbRef().setValue(1);
    });
    tryStep("leave the busy state", [&] {
        setBusy(false);
        ui->lblS->hide();
        ui->cmdAbbruch->setEnabled(false);
    });
    tryStep("fit the list's width", [&] { FitListExtent(this, ui->lstFoundFiles); });
    tryStep("prepare hsb for the hits", [&] {
        hsbRef().setMax(GetListCount(ui->lstFoundFiles) - 1);
        hsbRef().setLargeChange(largeChangeFor(hsbRef().Max()));
        hsbRef().setValue(0);
    });
    tryStep("enable the slideshow", [&] {
        if (GetListCount(ui->lstFoundFiles) > 1)
            ui->cmdDiaShow->setEnabled(true);
    });
    tryStep("preview the first hit", [&] {
        if (GetListCount(ui->lstFoundFiles) >= 1) {
            ui->HScroll1->show();
            hsbRef().setValue(0);
            hsb_Change();
        }
    });
    tryStep("back to idle", [&] {
        ui->Picture1->setEnabled(true);
        ui->cmdSearch->setEnabled(true);
    });
    if (m_closeRequested)
        QTimer::singleShot(0, this, &QWidget::close);
}

void Suche::runWalk(const QString& patternList)
{
    m_searching = true;
    // The found list keeps track of its widest entry while it fills, for the fitting.
    tryStep("track the list's width", [&] { trackListExtent(this, ui->lstFoundFiles); });
    tryStep("walk the folder", [&] {
        WindowSink sink(*this, *ui);
        const int16_t withSubFolders = ui->chkSubFolder->isChecked() ? -1 : 0;
        int32_t runningTotal = 0;
        const QByteArray folder = ui->dirList->pathBytes();
        // The window never waits in the kernel: a folder that does not answer is given up.
        search::WalkOptions options;
        options.guardCalls = true;
        options.onCall = walkCallHook();
        // A walk that fails part-way still leaves the labels with what it reported.
        struct ShowAtEnd
        {
            WindowSink& sink;
            ~ShowAtEnd() { sink.showLatest(); }
        } showAtEnd{sink};
        const int32_t found = search::SearchFolder(
            std::string(folder.constData(), static_cast<size_t>(folder.size())),
            search::PatternList(patternList), withSubFolders, runningTotal, sink, options);
        sink.showLatest();
        ui->lstFoundFiles->flushPendingRows();
        ui->lblCount->setText(QString::number(found));
    });
    ui->lstFoundFiles->flushPendingRows();
    m_searching = false;
}

void Suche::cmdAbbruch_Click()
{
    tryStep("show the first hit", [&] { hsbRef().setValue(0); });
    tryStep("preview", [&] { hsb_Change(); });
    SearchCancelled = 1;
}

} // namespace fotarik
