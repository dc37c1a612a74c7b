#pragma once
// A desktop seam that records every request instead of passing it on.

#include <QList>
#include <QUrl>
#include <vector>

#include "desktopservices.h"

namespace fotarik {

// A seam that records every request instead of passing it on (tests).
class RecordingDesktopSeam : public DesktopSeam
{
public:
    RecordingDesktopSeam() { m_previous = setDesktopSeam(this); }
    ~RecordingDesktopSeam() override { setDesktopSeam(m_previous); }
    bool openUrl(const QUrl& url) override
    {
        opened.push_back(url);
        return true;
    }
    bool showItems(const QList<QUrl>& items) override
    {
        shown.push_back(items);
        return useSessionBus ? showItemsOverSessionBus(items) : fileManagerAnswers;
    }

    // Whether showItems reports a file manager that answered; or, with useSessionBus, the
    // request really goes to the session bus and its answer counts.
    bool fileManagerAnswers = true;
    bool useSessionBus = false;
    std::vector<QUrl> opened;
    std::vector<QList<QUrl>> shown;

private:
    DesktopSeam* m_previous = nullptr;
};

} // namespace fotarik
