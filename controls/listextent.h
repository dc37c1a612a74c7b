#pragma once
// Fitting a list's horizontal scroll range to its widest entry, measured in a window's
// font. Counting and reading go through the large-list access, so lists beyond 32767
// entries are measured whole.

#include <QFont>
#include <cstdint>

class QObject;
class QWidget;

namespace fotarik {

class ListBoxAccess;

// Extent in pixels for a widest entry of widestTwips: both numbers rounded half to even,
// integer-divided, plus the scroll bar width and 80. 4500 twips at 15 twips per pixel
// with a 17-pixel scroll bar give 397.
int32_t listExtentFromWidth(double widestTwips, double screenTwipsX, int32_t vScrollWidth);

// The width in pixels of the widest entry in font. Exact, but entries that cannot beat
// the widest found so far are skipped without being laid out.
int32_t widestEntryPixels(const QFont& font, const ListBoxAccess& list);

// The horizontal extent in pixels that shows the widest entry of list, measured in the
// window's font, with the program's ScreenTwipsX and VScrollWidth. Raises 419 when list
// is no list box.
int32_t GetListExtent(QWidget* window, QObject* list);

// Applies GetListExtent as the list's horizontal scroll range. An extent beyond the
// 16-bit range raises the overflow error (6) and leaves the list's extent as it was.
void FitListExtent(QWidget* window, QObject* list);

} // namespace fotarik
