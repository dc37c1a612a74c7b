#include "listextent.h"

#include <QFontMetrics>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QHash>
#include <QTextLayout>
#include <QWidget>
#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "errorcatalogue.h"
#include "globals.h"
#include "listboxaccess.h"
#include "modlargelist.h"
#include "vbmath.h"

namespace fotarik {

struct CharBounds
{
    // step[predecessor][character]; predecessor 0 stands for the start of the text.
    std::vector<int32_t> step;
};

namespace {

// What each Latin-1 character adds to a laid-out width after a given predecessor: its
// advance plus the kerning (or two-letter ligature) of the pair, taken once per font from
// the layout of a text that holds every ASCII pair. Summed over an entry this gives the
// width the full layout gives, so only entries whose sum beats the widest found so far
// are laid out. Pairs with a non-ASCII Latin-1 character take the largest kerning seen
// instead of their own, which can only overestimate. Characters that do not lay out as a
// lone advance (controls, tab, soft hyphen) and everything beyond Latin-1 have no step:
// their entries are always laid out.
// Widths are kept in 1/64 pixel, the fixed-point unit of the font engine, so the sums are
// exact integers.
constexpr int64_t Unmeasurable = int64_t(1) << 40;
constexpr int32_t NoStep = INT32_MAX; // a character outside the table

int64_t toUnits(qreal pixels)
{
    return std::llround(pixels * 64.0);
}

// A text in which every pair of the k symbols 0..k-1 occurs once (a de Bruijn sequence),
// so that one layout yields the kerning of all pairs.
std::vector<int> allPairsSequence(int k)
{
    std::vector<int> a(3, 0);
    std::vector<int> sequence;
    std::function<void(int, int)> extend = [&](int t, int p) {
        if (t > 2) {
            if (2 % p == 0)
                sequence.insert(sequence.end(), a.begin() + 1, a.begin() + 1 + p);
            return;
        }
        a[t] = a[t - p];
        extend(t + 1, p);
        for (int j = a[t - p] + 1; j < k; ++j) {
            a[t] = j;
            extend(t + 1, t);
        }
    };
    extend(1, 1);
    sequence.push_back(sequence.front()); // closes the cycle: the last pair wraps around
    return sequence;
}

// Pen positions of the glyphs of text laid out in font, one per character; empty when
// the layout did not give exactly one glyph per character (ligatures, fallback fonts).
std::vector<qreal> glyphPositions(const QFont& font, const QString& text)
{
    QTextLayout layout(text, font);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLineWidth(1e9);
    layout.endLayout();
    std::vector<qreal> positions;
    for (const QGlyphRun& run : layout.glyphRuns())
        for (const QPointF& position : run.positions())
            positions.push_back(position.x());
    if (positions.size() != size_t(text.size()) || !std::is_sorted(positions.begin(), positions.end()))
        return {};
    return positions;
}

CharBounds makeBounds(const QFont& font)
{
    const QFontMetricsF fm(font);
    std::array<int64_t, 256> advance{};
    std::array<bool, 256> usable{};
    for (int c = 0x20; c <= 0xFF; ++c) {
        if ((c >= 0x7F && c < 0xA0) || c == 0xAD)
            continue;
        advance[c] = toUnits(fm.horizontalAdvance(QString(QChar(c))));
        usable[c] = true;
    }

    // kern[a][c]: how much the pair a c lays out wider than the two lone advances.
    constexpr int First = 0x20;
    constexpr int Count = 0x7F - First;
    std::vector<int64_t> kern(size_t(256) * 256, 0);
    // Laid out in short pieces that share their end characters, so that a piece whose
    // glyphs do not match its characters one to one (a ligature) costs only its own pairs
    // measured one by one.
    const std::vector<int> sequence = allPairsSequence(Count);
    constexpr size_t Piece = 64;
    QString pair(2, QChar());
    for (size_t from = 0; from + 1 < sequence.size(); from += Piece) {
        const size_t to = std::min(from + Piece, sequence.size() - 1); // last character
        QString text;
        for (size_t i = from; i <= to; ++i)
            text.append(QChar(First + sequence[i]));
        const std::vector<qreal> positions = glyphPositions(font, text);
        for (size_t i = from; i < to; ++i) {
            const int a = First + sequence[i];
            const int c = First + sequence[i + 1];
            if (!positions.empty()) {
                kern[a * 256 + c] = toUnits(positions[i + 1 - from] - positions[i - from]) - advance[a];
            } else {
                pair[0] = QChar(a);
                pair[1] = QChar(c);
                kern[a * 256 + c] = toUnits(fm.horizontalAdvance(pair)) - advance[a] - advance[c];
            }
        }
    }
    const int64_t widestKern = std::max<int64_t>(0, *std::max_element(kern.begin(), kern.end()));

    CharBounds b;
    b.step.assign(256 * 256, NoStep);
    for (int c = 0; c < 256; ++c) {
        if (!usable[c])
            continue;
        b.step[c] = int32_t(advance[c]);
        for (int a = First; a < 256; ++a) {
            if (!usable[a])
                continue;
            const bool ascii = a < 0x7F && c < 0x7F;
            b.step[a * 256 + c] = int32_t(advance[c] + (ascii ? kern[a * 256 + c] : widestKern));
        }
    }
    return b;
}

const CharBounds& boundsFor(const QFont& font)
{
    // User-interface thread only, like every list operation.
    static QHash<QString, std::shared_ptr<const CharBounds>> cache;
    auto& entry = cache[font.key()];
    if (!entry)
        entry = std::make_shared<const CharBounds>(makeBounds(font));
    return *entry;
}

// The width of bytes in 1/64 pixel as the table predicts it, or at least Unmeasurable
// when the entry holds characters outside the table and has to be measured.
int64_t predictedWidth(const CharBounds& b, QByteArrayView bytes)
{
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const qsizetype length = bytes.size();
    const int32_t* step = b.step.data();
    int64_t sum = 0;
    unsigned previous = 0;
    for (qsizetype k = 0; k < length; ++k) {
        unsigned c = p[k];
        if (c >= 0x80) {
            // Two-byte UTF-8 for U+0080..U+00FF; everything else is measured.
            if ((c != 0xC2 && c != 0xC3) || k + 1 >= length || (p[k + 1] & 0xC0) != 0x80)
                return Unmeasurable;
            c = ((c & 0x1F) << 6) | (p[++k] & 0x3F);
        }
        const int32_t width = step[previous * 256 + c];
        if (width == NoStep)
            return Unmeasurable;
        sum += width;
        previous = c;
    }
    return sum;
}

int32_t measureText(const QFont& font, QByteArrayView bytes)
{
    return QFontMetrics(font).horizontalAdvance(QString::fromUtf8(bytes.data(), bytes.size()));
}

} // namespace

int32_t listExtentFromWidth(double widestTwips, double screenTwipsX, int32_t vScrollWidth)
{
    const int32_t twipsPerPixel = round32(screenTwipsX);
    if (twipsPerPixel == 0)
        raiseDivisionByZero();
    const int64_t extent = int64_t(round32(widestTwips) / twipsPerPixel) + vScrollWidth + 80;
    if (extent < INT32_MIN || extent > INT32_MAX)
        raiseOverflow();
    return int32_t(extent);
}

ListWidthTracker::ListWidthTracker() = default;
ListWidthTracker::~ListWidthTracker() = default;

void ListWidthTracker::start(const QFont& font, const ListBoxAccess& list)
{
    if (m_active && m_fontKey == font.key())
        return;
    m_active = true;
    m_font = font;
    m_fontKey = font.key();
    m_bounds = &boundsFor(font);
    cleared();
    list.forEachItem([&](int32_t index, QByteArrayView text) { add(list, index, text); });
}

void ListWidthTracker::appended(const ListBoxAccess& list, int32_t index, QByteArrayView text)
{
    if (m_active)
        add(list, index, text);
}

void ListWidthTracker::cleared()
{
    m_count = 0;
    m_widest = 0;
    m_candidates.clear();
}

void ListWidthTracker::stop()
{
    m_active = false;
    cleared();
}

int32_t ListWidthTracker::widest(const QFont& font, const ListBoxAccess& list)
{
    if (!m_active || m_fontKey != font.key() || m_count != list.listCount())
        return -1;
    measureFromTheTop(list, std::numeric_limits<size_t>::max());
    return m_widest;
}

void ListWidthTracker::add(const ListBoxAccess& list, int32_t index, QByteArrayView text)
{
    if (index != m_count) {
        stop(); // not the list it followed
        return;
    }
    ++m_count;
    const int64_t predicted = predictedWidth(*m_bounds, text);
    if (predicted >= Unmeasurable) {
        m_widest = std::max(m_widest, measureText(m_font, text));
        return;
    }
    // The laid-out width is the sum rounded to whole pixels, halves up. Entries that
    // would only tie with the widest found need no layout.
    const int32_t bound = int32_t((predicted + 32) >> 6);
    if (bound <= m_widest)
        return;
    m_candidates.push_back({bound, index});
    // Keeps the set small: a few layouts of the best raise the bar for the rest.
    if (m_candidates.size() >= 4096)
        measureFromTheTop(list, 8);
}

// Lays out the entries with the highest bounds first; once an entry's bound does not
// exceed the widest width found, no entry with a lower bound can exceed it either.
// Returns after at most `limit` layouts, with the rest still in candidates.
void ListWidthTracker::measureFromTheTop(const ListBoxAccess& list, size_t limit)
{
    auto byBound = [](const Candidate& a, const Candidate& b) { return a.bound > b.bound; };
    QByteArray bytes;
    auto rest = m_candidates.begin();
    while (rest != m_candidates.end() && limit > 0) {
        const auto batchEnd =
            rest + std::min<ptrdiff_t>(std::min<size_t>(limit, 64), m_candidates.end() - rest);
        std::nth_element(rest, batchEnd - 1, m_candidates.end(), byBound);
        std::sort(rest, batchEnd, byBound);
        for (; rest != batchEnd; ++rest, --limit) {
            if (rest->bound <= m_widest) {
                m_candidates.clear();
                return;
            }
            if (list.itemBytes(rest->index, bytes))
                m_widest = std::max(m_widest, measureText(m_font, bytes));
        }
    }
    m_candidates.erase(m_candidates.begin(), rest);
    std::erase_if(m_candidates, [&](const Candidate& c) { return c.bound <= m_widest; });
}

int32_t widestEntryPixels(const QFont& font, const ListBoxAccess& list)
{
    if (ListWidthTracker* tracker = list.widthTracker()) {
        const int32_t tracked = tracker->widest(font, list);
        if (tracked >= 0)
            return tracked;
    }
    // A pass over every entry, with a tracker of its own.
    ListWidthTracker once;
    once.start(font, list);
    return once.widest(font, list);
}

int32_t GetListExtent(QWidget* window, QObject* list)
{
    GetListCount(list); // the large-list access's type check
    const auto& access = dynamic_cast<const ListBoxAccess&>(*list);
    const int32_t widestPixels = widestEntryPixels(window->font(), access);
    const double widestTwips = double(widestPixels) * double(ScreenTwipsX);
    return listExtentFromWidth(widestTwips, ScreenTwipsX, VScrollWidth);
}

void trackListExtent(QWidget* window, QObject* list)
{
    GetListCount(list); // the large-list access's type check
    auto& access = dynamic_cast<ListBoxAccess&>(*list);
    if (ListWidthTracker* tracker = access.widthTracker())
        tracker->start(window->font(), access);
}

void FitListExtent(QWidget* window, QObject* list)
{
    const int32_t extent = GetListExtent(window, list);
    if (extent < INT16_MIN || extent > INT16_MAX)
        raiseOverflow();
    dynamic_cast<ListBoxAccess&>(*list).setListHorizontalExtent(extent);
}

} // namespace fotarik
