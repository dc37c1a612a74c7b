#pragma once
// The overview window: every entry of the found list as a thumbnail in a grid, in list
// order, following the list live (it grows while a search adds hits; a new search shows
// the new ones). The grid reads the found list's own entries; it keeps no copy of them.
// Only the cells on screen and a screen ahead in the scroll direction are made, and the
// thumbnails made are kept in a cache bounded in bytes (least recently used dropped).
//
// The window decides nothing about the hits itself: a click (or a move of the selection
// by key) reports the entry with entrySelected, a double click or Enter on a picture or a
// text reports it with entryOpened, and the search window does with them what its own
// list does.

#include <QCache>
#include <QListView>
#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <memory>

#include "thumbnailer.h"

namespace fotarik {

class ListBox;
class ListBoxModel;

namespace overview {

class ThumbnailGrid;
class CellDelegate;

// The state of one cell, as far as the window knows it now.
enum class CellState : uint8_t { Waiting, Picture, Text, Failed, Symbol };

} // namespace overview

class Uebersicht : public QWidget
{
    Q_OBJECT

public:
    // foundList: the search window's found list, whose entries the grid shows. The window
    // is a window of its own over parent and deletes itself when closed.
    explicit Uebersicht(ListBox* foundList, QWidget* parent = nullptr);
    ~Uebersicht() override;

    static constexpr int MinCellPixels = 96;
    static constexpr int MaxCellPixels = 320;
    static constexpr int DefaultCellPixels = 160;
    static constexpr int CellPixelsStep = 32;
    // Cells laid out in one pass of the event loop.
    static constexpr int LayoutBatch = 10000;
    // The most the cached thumbnails may take.
    static constexpr qint64 DefaultCacheBytes = qint64(256) * 1024 * 1024;

    static QString captionFor(int count);

    // True when the window is meant to be shown but is no longer on the screen: its
    // window was destroyed or unmapped from outside (a window manager, xdotool windowclose)
    // after it had been shown. A minimised window is not lost.
    bool lostFromScreen() const;

    QListView* grid() const;
    int cellPixels() const { return m_cellPixels; }
    // The width of a column of cells: the cells of the size chosen, widened to fill the
    // grid's width between them.
    int columnWidth() const;
    void setCellPixels(int pixels);
    void setCacheBytes(qint64 bytes);
    qint64 cachedBytes() const { return m_cache.totalCost(); }

    overview::CellState cellState(int32_t row) const;
    // Thumbnails waiting or being made.
    int outstandingThumbnails() const { return m_thumbnailer->outstanding(); }

signals:
    void entrySelected(int32_t row);
    void entryOpened(int32_t row);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    friend class overview::ThumbnailGrid;
    friend class overview::CellDelegate;

    QByteArray pathOf(int32_t row) const;
    const overview::Thumbnail* cached(const QByteArray& path) const;
    void requestCells(int32_t first, int32_t last, bool replace);
    void delivered(overview::Thumbnailer::Result&& result);
    void modelReset();
    void updateCaption();
    void showMenu(const QPoint& viewportPos);
    void followFoundList(const QModelIndex& current);

    QPointer<ListBox> m_foundList;
    ListBoxModel* m_model;
    overview::ThumbnailGrid* m_grid;
    int m_cellPixels = DefaultCellPixels;
    uint64_t m_generation = 0;
    bool m_following = false;
    bool m_shownBefore = false;
    bool m_painted = false; // since it was last shown
    mutable QCache<QByteArray, overview::Thumbnail> m_cache;
    std::unique_ptr<overview::Thumbnailer> m_thumbnailer;
};

} // namespace fotarik
