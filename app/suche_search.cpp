// The search run of the search window: validation, busy state, the walk into the found
// list, the count, the list's width and the position over the hits.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "clongscroll.h"
#include "listextent.h"
#include "messagebox.h"
#include "modlargelist.h"
#include "suche.h"
#include "trystep.h"
#include "ui_suche.h"
#include "vbmath.h"
#include "walker.h"

namespace fotarik {
namespace {

// Hands the walker's reports to the window's controls.
class WindowSink : public search::WalkSink
{
public:
    WindowSink(Suche& window, Ui::Suche& ui) : m_window(window), m_ui(ui) {}

    // Events are served at every folder, so a click on the cancel button is seen at the
    // next folder; but the window repaints only every few dozen milliseconds, since
    // repainting the growing list and the labels once per folder costs ten times the walk.
    void serveEvents() override
    {
        const bool paint = !m_painted.isValid() || m_painted.elapsed() >= RepaintIntervalMs;
        if (paint != m_window.updatesEnabled())
            m_window.setUpdatesEnabled(paint);
        QCoreApplication::processEvents();
        if (paint)
            m_painted.start();
    }
    void folderEntered(std::string_view folder) override
    {
        m_ui.Label1->setText(QString::fromUtf8(folder.data(), static_cast<qsizetype>(folder.size())));
    }
    bool cancelRequested() override { return m_window.SearchCancelled == 1; }
    void hitFound(std::string_view path, int32_t runningTotal) override
    {
        AddItem(m_ui.lstFoundFiles, QByteArray(path.data(), static_cast<qsizetype>(path.size())));
        m_ui.lblCount->setText(QString::number(runningTotal));
    }

    static constexpr qint64 RepaintIntervalMs = 40;

private:
    Suche& m_window;
    Ui::Suche& m_ui;
    QElapsedTimer m_painted;
};

} // namespace

void Suche::cmdSearch_Click()
{
    tryStep("reset the cancel flag", [&] { SearchCancelled = 0; });
    tryStep("hide the position bar", [&] { ui->HScroll1->hide(); });
    tryStep("reset the preview area", [&] {
        m_gradientShown = false;
        ui->Anzeige1->clear();
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
    tryStep("form the pattern list", [&] {
        patternList = patternText.trimmed();
        if (patternList.endsWith(u';'))
            patternList.chop(1);
    });
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
    tryStep("track the list's width", [&] { TrackListExtent(this, ui->lstFoundFiles); });
    tryStep("walk the folder", [&] {
        WindowSink sink(*this, *ui);
        const int16_t withSubFolders = ui->chkSubFolder->isChecked() ? -1 : 0;
        int32_t runningTotal = 0;
        const QByteArray folder = ui->dirList->pathBytes();
        const int32_t found = search::SearchFolder(std::string(folder.constData(), static_cast<size_t>(folder.size())),
                                                   search::PatternList(patternList), withSubFolders, runningTotal, sink);
        ui->lstFoundFiles->flushPendingRows();
        ui->lblCount->setText(QString::number(found));
    });
    setUpdatesEnabled(true);
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
