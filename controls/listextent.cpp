#include "listextent.h"

#include <QFontMetrics>
#include <QFontMetricsF>
#include <QHash>
#include <QWidget>
#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "globals.h"
#include "listboxaccess.h"
#include "modlargelist.h"
#include "raisederror.h"
#include "vbmath.h"

namespace fotarik {

namespace {

// Advances of the Latin-1 characters in one font, and how much a neighbour can widen a
// pair beyond the two advances (positive kerning). With them, the sum of an entry's
// advances bounds its laid-out width from above without shaping the text.
struct CharBounds
{
    std::array<float, 256> advance{};
    std::array<bool, 256> bounded{};
    float pairSlack = 0.0f;
};

CharBounds makeBounds(const QFont& font)
{
    CharBounds b;
    const QFontMetricsF fm(font);
    QString chars;
    for (int c = 0x20; c <= 0xFF; ++c) {
        // Controls, tabs and the soft hyphen do not lay out as their lone advance.
        if (c >= 0x7F && c < 0xA0)
            continue;
        if (c == 0xAD)
            continue;
        b.advance[c] = float(fm.horizontalAdvance(QString(QChar(c))));
        b.bounded[c] = true;
        chars.append(QChar(c));
    }
    // Positive kerning is rare and small; the pairs of printable ASCII cover the pairs
    // fonts kern, and the Latin-1 letters kern like their base letters.
    qreal slack = 0;
    QString pair(2, QChar());
    for (int a = 0x20; a < 0x7F; ++a) {
        for (int c = 0x20; c < 0x7F; ++c) {
            pair[0] = QChar(a);
            pair[1] = QChar(c);
            slack = std::max(slack, fm.horizontalAdvance(pair) - b.advance[a] - b.advance[c]);
        }
    }
    b.pairSlack = float(slack);
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

// Upper bound of the width of bytes in pixels, or a negative number when the entry holds
// characters outside the table and has to be measured.
float widthBound(const CharBounds& b, QByteArrayView bytes)
{
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const qsizetype length = bytes.size();
    float sum = 0.0f;
    int chars = 0;
    for (qsizetype k = 0; k < length; ++k) {
        unsigned c = p[k];
        if (c >= 0x80) {
            // Two-byte UTF-8 for U+0080..U+00FF; everything else is measured.
            if ((c != 0xC2 && c != 0xC3) || k + 1 >= length || (p[k + 1] & 0xC0) != 0x80)
                return -1.0f;
            c = ((c & 0x1F) << 6) | (p[++k] & 0x3F);
        }
        if (!b.bounded[c])
            return -1.0f;
        sum += b.advance[c];
        ++chars;
    }
    // One pixel for the rounding of the laid-out width, and a little for the float sum.
    return sum + float(std::max(chars - 1, 0)) * b.pairSlack + 1.0f + float(chars) * 1e-3f;
}

struct Candidate
{
    float bound;
    int32_t index;
};

} // namespace

int32_t listExtentFromWidth(double widestTwips, double screenTwipsX, int32_t vScrollWidth)
{
    const int32_t twipsPerPixel = round32(screenTwipsX);
    if (twipsPerPixel == 0)
        throw RaisedError(11, QStringLiteral("Fotarik"), QStringLiteral("Division durch Null"));
    const int64_t extent = int64_t(round32(widestTwips) / twipsPerPixel) + vScrollWidth + 80;
    if (extent < INT32_MIN || extent > INT32_MAX)
        throw RaisedError(ErrOverflow, QStringLiteral("Fotarik"), QStringLiteral("Überlauf"));
    return int32_t(extent);
}

int32_t widestEntryPixels(const QFont& font, const ListBoxAccess& list)
{
    const QFontMetrics fm(font);
    const CharBounds& bounds = boundsFor(font);
    auto measure = [&](QByteArrayView bytes) {
        return fm.horizontalAdvance(QString::fromUtf8(bytes.data(), bytes.size()));
    };

    int32_t widest = 0;
    std::vector<Candidate> candidates;
    candidates.reserve(size_t(std::max(list.listCount(), 0)));
    list.forEachItem([&](int32_t index, QByteArrayView bytes) {
        const float bound = widthBound(bounds, bytes);
        if (bound < 0.0f)
            widest = std::max(widest, measure(bytes));
        else if (bound > float(widest))
            candidates.push_back({bound, index});
    });

    // Lay out entries from the highest bound down; once an entry's bound does not exceed
    // the widest width found, no later entry can exceed it either.
    auto byBound = [](const Candidate& a, const Candidate& b) { return a.bound > b.bound; };
    auto rest = candidates.begin();
    QByteArray bytes;
    while (rest != candidates.end()) {
        const auto batchEnd = rest + std::min<ptrdiff_t>(64, candidates.end() - rest);
        std::nth_element(rest, batchEnd - 1, candidates.end(), byBound);
        std::sort(rest, batchEnd, byBound);
        for (; rest != batchEnd; ++rest) {
            if (rest->bound <= float(widest))
                return widest;
            if (list.itemBytes(rest->index, bytes))
                widest = std::max(widest, measure(bytes));
        }
    }
    return widest;
}

int32_t GetListExtent(QWidget* window, QObject* list)
{
    GetListCount(list); // the large-list access's type check
    const auto* access = dynamic_cast<const ListBoxAccess*>(list);
    const int32_t widestPixels = widestEntryPixels(window->font(), *access);
    const double widestTwips = double(widestPixels) * double(ScreenTwipsX);
    return listExtentFromWidth(widestTwips, ScreenTwipsX, VScrollWidth);
}

void FitListExtent(QWidget* window, QObject* list)
{
    const int32_t extent = GetListExtent(window, list);
    if (extent < INT16_MIN || extent > INT16_MAX)
        throw RaisedError(ErrOverflow, QStringLiteral("Fotarik"), QStringLiteral("Überlauf"));
    dynamic_cast<ListBoxAccess*>(list)->setListHorizontalExtent(extent);
}

} // namespace fotarik
