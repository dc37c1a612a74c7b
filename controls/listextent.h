#pragma once
// Fitting a list's horizontal scroll range to its widest entry, measured in a window's
// font. Counting and reading go through the large-list access, so lists beyond 32767
// entries are measured whole.

#include <QByteArrayView>
#include <QFont>
#include <cstdint>
#include <vector>

class QObject;
class QWidget;

namespace fotarik {

class ListBoxAccess;
struct CharBounds;

// Follows a list's entries as they are appended and keeps what finding the widest needs:
// the widest entry laid out so far and the few entries that might still beat it. Fitting
// then lays out only those, whatever the length of the list. Inserting elsewhere than at
// the end stops the tracking (the fitting then measures the whole list once more).
class ListWidthTracker
{
public:
    ListWidthTracker();
    ~ListWidthTracker();
    ListWidthTracker(const ListWidthTracker&) = delete;
    ListWidthTracker& operator=(const ListWidthTracker&) = delete;

    // Tracks the widths in font from now on, starting with the entries list holds.
    // Nothing happens when it tracks in font already.
    void start(const QFont& font, const ListBoxAccess& list);
    // The list's entry at index, its last, was just appended.
    void appended(const ListBoxAccess& list, int32_t index, QByteArrayView text);
    // The list was emptied; tracking goes on.
    void cleared();
    void stop();

    // The widest entry's width in pixels when every entry of list (count entries) was
    // tracked in font; -1 when not.
    int32_t widest(const QFont& font, const ListBoxAccess& list);

    struct Candidate
    {
        int32_t bound;
        int32_t index;
    };

private:
    void add(const ListBoxAccess& list, int32_t index, QByteArrayView text);
    void measureFromTheTop(const ListBoxAccess& list, size_t limit);

    bool m_active = false;
    QFont m_font;
    QString m_fontKey;
    const CharBounds* m_bounds = nullptr;
    int32_t m_count = 0;
    int32_t m_widest = 0;
    std::vector<Candidate> m_candidates;
};

// Extent in pixels for a widest entry of widestTwips: both numbers rounded half to even,
// integer-divided, plus the scroll bar width and 80. 4500 twips at 15 twips per pixel
// with a 17-pixel scroll bar give 397.
int32_t listExtentFromWidth(double widestTwips, double screenTwipsX, int32_t vScrollWidth);

// The width in pixels of the widest entry in font. Exact, but entries that cannot beat
// the widest found so far are skipped without being laid out; a list that tracks its
// widths in font answers from its tracker without reading every entry.
int32_t widestEntryPixels(const QFont& font, const ListBoxAccess& list);

// The horizontal extent in pixels that shows the widest entry of list, measured in the
// window's font, with the program's ScreenTwipsX and VScrollWidth. Raises 419 when list
// is no list box.
int32_t GetListExtent(QWidget* window, QObject* list);

// Makes list (a list box) track its entries' widths in the window's font from now on, so
// that fitting after many appends costs no pass over all entries.
void trackListExtent(QWidget* window, QObject* list);

// Applies GetListExtent as the list's horizontal scroll range. An extent beyond the
// 16-bit range raises the overflow error (6) and leaves the list's extent as it was.
void FitListExtent(QWidget* window, QObject* list);

} // namespace fotarik
