#pragma once
// A desktop seam that records every request instead of passing it on, and answers each one
// as told: at once, or later from the event loop (as the real desktop does).

#include <QList>
#include <QTimer>
#include <QUrl>
#include <vector>

#include "desktopservices.h"

namespace fotarik {

class RecordingDesktopSeam : public DesktopSeam
{
public:
    RecordingDesktopSeam() { m_previous = setDesktopSeam(this); }
    ~RecordingDesktopSeam() override { setDesktopSeam(m_previous); }
    RecordingDesktopSeam(const RecordingDesktopSeam&) = delete;
    RecordingDesktopSeam& operator=(const RecordingDesktopSeam&) = delete;

    void openUrl(const QUrl& url, DesktopDone done) override
    {
        opened.push_back(url);
        answer([this, done] { done(openResult); });
    }
    void showItems(const QList<QUrl>& items, DesktopDone done) override
    {
        shown.push_back(items);
        if (useSessionBus) {
            realDesktop()->showItems(items, std::move(done));
            return;
        }
        answer([this, done] { done(fileManagerResult); });
    }
    void folderHandler(std::function<void(const QString&)> done) override
    {
        ++folderHandlerAsked;
        answer([this, done] { done(folderHandlerId); });
    }

    // What each request answers.
    DesktopResult openResult;
    DesktopResult fileManagerResult;
    QString folderHandlerId = QStringLiteral("org.example.Files.desktop");
    // With useSessionBus, file-manager requests really go to the session bus.
    bool useSessionBus = false;
    // Answers come from the event loop rather than inside the request.
    bool answerLater = false;

    std::vector<QUrl> opened;
    std::vector<QList<QUrl>> shown;
    int folderHandlerAsked = 0;

private:
    template <typename F> void answer(F f)
    {
        if (answerLater)
            QTimer::singleShot(0, f);
        else
            f();
    }

    DesktopSeam* m_previous = nullptr;
};

} // namespace fotarik
