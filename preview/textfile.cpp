#include "textfile.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <map>
#include <thread>

#include <unistd.h>

#include "readablefile.h"

namespace fotarik {
namespace {

// A checkpoint of the index every this many rows, or sooner after this many bytes: a
// block of rows between two checkpoints is what the worker reads and decodes at once.
constexpr qint64 RowsPerCheckpoint = 1024;
constexpr qint64 BytesPerCheckpoint = 64 * 1024;
// The index is built from reads of this size.
constexpr qint64 IndexChunkBytes = 1024 * 1024;
// What the encoding is guessed from before the index has seen the whole file.
constexpr qint64 HeadBytes = 64 * 1024;
// A file up to this size is read whole before it is shown (a text box of a short note
// then holds all of it at once); a bigger one shows its first screen as soon as that is read.
constexpr qint64 SmallFileBytes = 1024 * 1024;
// Decoded rows kept in memory (characters), the blocks in view first.
constexpr qsizetype MaxCachedChars = 4 * 1024 * 1024;
// Index progress is reported at most this often (the row count, the scroll bar).
constexpr auto ProgressInterval = std::chrono::milliseconds(50);

std::atomic<TextReadHook> g_readHook{nullptr};

void beforeRead()
{
    if (TextReadHook hook = g_readHook.load())
        hook();
}

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF), fed in pieces.
class Utf8Validator
{
public:
    void feed(const uchar* p, qsizetype n)
    {
        qsizetype i = 0;
        while (i < n && !m_bad) {
            if (m_need == 0) {
                // Plain ASCII eight bytes at a time.
                while (i + 8 <= n) {
                    uint64_t word;
                    std::memcpy(&word, p + i, 8);
                    if (word & 0x8080808080808080ull)
                        break;
                    i += 8;
                }
                if (i >= n)
                    break;
                const uchar c = p[i++];
                if (c < 0x80)
                    continue;
                if (c >= 0xC2 && c <= 0xDF)
                    start(1, 0x80, 0xBF);
                else if (c == 0xE0)
                    start(2, 0xA0, 0xBF);
                else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF)
                    start(2, 0x80, 0xBF);
                else if (c == 0xED)
                    start(2, 0x80, 0x9F);
                else if (c == 0xF0)
                    start(3, 0x90, 0xBF);
                else if (c >= 0xF1 && c <= 0xF3)
                    start(3, 0x80, 0xBF);
                else if (c == 0xF4)
                    start(3, 0x80, 0x8F);
                else
                    m_bad = true;
            } else {
                const uchar c = p[i++];
                if (c < m_lo || c > m_hi) {
                    m_bad = true;
                    break;
                }
                m_lo = 0x80;
                m_hi = 0xBF;
                --m_need;
            }
        }
    }
    bool bad() const { return m_bad; }
    // Valid so far, a sequence cut off at the end allowed.
    bool validSoFar() const { return !m_bad; }
    bool validAtEnd() const { return !m_bad && m_need == 0; }

private:
    void start(int need, uchar lo, uchar hi)
    {
        m_need = need;
        m_lo = lo;
        m_hi = hi;
    }
    int m_need = 0;
    uchar m_lo = 0x80;
    uchar m_hi = 0xBF;
    bool m_bad = false;
};

constexpr char16_t Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool isBreak8(uchar c)
{
    return c == '\n' || c == '\f';
}

// The bytes a line break can start with in an 8-bit text.
struct BreakStarts
{
    bool at[256] = {};
    constexpr BreakStarts() { at[uchar('\n')] = at[uchar('\f')] = at[uchar('\r')] = at[0xE2] = true; }
};
constexpr BreakStarts breakStarts;

RowSpan more()
{
    RowSpan r;
    r.more = true;
    return r;
}

RowSpan ends(qsizetype contentEnd, qsizetype next)
{
    RowSpan r;
    r.contentEnd = contentEnd;
    r.next = next;
    return r;
}

RowSpan lastRow(qsizetype size)
{
    RowSpan r;
    r.contentEnd = size;
    r.next = size;
    r.last = true;
    return r;
}

// The break that starts at i, if any: its end; 0 when none; -1 when the data ended too soon.
qsizetype breakAt8(const uchar* d, qsizetype n, qsizetype i, bool atEnd, bool utf8)
{
    const uchar c = d[i];
    if (isBreak8(c))
        return i + 1;
    if (c == '\r') {
        if (i + 1 < n)
            return d[i + 1] == '\n' ? i + 2 : i + 1;
        return atEnd ? i + 1 : -1;
    }
    if (utf8 && c == 0xE2) {
        if (i + 2 < n)
            return d[i + 1] == 0x80 && (d[i + 2] == 0xA8 || d[i + 2] == 0xA9) ? i + 3 : 0;
        return atEnd ? 0 : -1;
    }
    return 0;
}

RowSpan scanRow8(const uchar* d, qsizetype n, qsizetype s, bool atEnd, bool utf8)
{
    const qsizetype limit = std::min(n, s + MaxRowBytes);
    for (qsizetype i = s; i < limit; ++i) {
        if (!breakStarts.at[d[i]])
            continue;
        const qsizetype end = breakAt8(d, n, i, atEnd, utf8);
        if (end < 0)
            return more();
        if (end > 0)
            return ends(i, end);
    }
    if (limit == n)
        return atEnd ? lastRow(n) : more();
    // A full row: a break right after it belongs to it.
    const qsizetype end = breakAt8(d, n, limit, atEnd, utf8);
    if (end < 0)
        return more();
    if (end > 0)
        return ends(limit, end);
    qsizetype cut = limit;
    if (utf8)
        for (int back = 0; back < 3 && cut > s + 1 && (d[cut] & 0xC0) == 0x80; ++back)
            --cut;
    return ends(cut, cut);
}

RowSpan scanRow16(const uchar* d, qsizetype n, qsizetype s, bool atEnd, bool bigEndian)
{
    const auto unit = [&](qsizetype i) -> char16_t {
        return bigEndian ? char16_t(d[i] << 8 | d[i + 1]) : char16_t(d[i] | d[i + 1] << 8);
    };
    // The break that starts at i: its end, 0 for none, -1 when the data ended too soon.
    const auto breakAt = [&](qsizetype i) -> qsizetype {
        if (i + 1 >= n)
            return atEnd ? 0 : -1;
        const char16_t u = unit(i);
        if (u == 0x0A || u == 0x0C || u == 0x2028 || u == 0x2029)
            return i + 2;
        if (u == 0x0D) {
            if (i + 3 < n)
                return unit(i + 2) == 0x0A ? i + 4 : i + 2;
            return atEnd ? i + 2 : -1;
        }
        return 0;
    };
    const qsizetype rowBytes = 2 * MaxRowBytes;
    const qsizetype limit = std::min(n, s + rowBytes);
    for (qsizetype i = s; i + 1 < limit; i += 2) {
        const qsizetype end = breakAt(i);
        if (end < 0)
            return more();
        if (end > 0)
            return ends(i, end);
    }
    if (s + rowBytes >= n)
        return atEnd ? lastRow(n) : more();
    const qsizetype end = breakAt(limit);
    if (end < 0)
        return more();
    if (end > 0)
        return ends(limit, end);
    qsizetype cut = limit;
    const char16_t before = unit(cut - 2);
    if (before >= 0xD800 && before <= 0xDBFF && cut - 2 > s)
        cut -= 2; // the pair stays together on the next row
    return ends(cut, cut);
}

struct Checkpoint
{
    qint64 offset;
    qint64 row;
};

struct Block
{
    std::vector<TextRow> rows;
    qsizetype chars = 0;
};

struct CachedBlock
{
    std::shared_ptr<const Block> block;
    uint64_t used = 0;
};

} // namespace

RowSpan scanRow(const uchar* data, qsizetype size, qsizetype start, bool atEnd, TextEncoding encoding)
{
    if (start >= size)
        return atEnd ? lastRow(size) : more();
    switch (encoding) {
    case TextEncoding::Utf16LE:
        return scanRow16(data, size, start, atEnd, false);
    case TextEncoding::Utf16BE:
        return scanRow16(data, size, start, atEnd, true);
    case TextEncoding::Utf8:
        return scanRow8(data, size, start, atEnd, true);
    case TextEncoding::Windows1252:
        break;
    }
    return scanRow8(data, size, start, atEnd, false);
}

QString decodeRow(const uchar* data, qsizetype size, TextEncoding encoding)
{
    QString text;
    switch (encoding) {
    case TextEncoding::Utf8:
        text = QString::fromUtf8(reinterpret_cast<const char*>(data), size);
        break;
    case TextEncoding::Windows1252: {
        text.resize(size);
        QChar* out = text.data();
        for (qsizetype i = 0; i < size; ++i) {
            const uchar c = data[i];
            out[i] = c >= 0x80 && c < 0xA0 ? QChar(Cp1252High[c - 0x80]) : QChar(c);
        }
        break;
    }
    case TextEncoding::Utf16LE:
    case TextEncoding::Utf16BE: {
        const bool be = encoding == TextEncoding::Utf16BE;
        text.resize(size / 2 + size % 2);
        QChar* out = text.data();
        for (qsizetype i = 0; i + 1 < size; i += 2)
            out[i / 2] = be ? QChar(char16_t(data[i] << 8 | data[i + 1]))
                            : QChar(char16_t(data[i] | data[i + 1] << 8));
        if (size % 2)
            out[size / 2] = QChar::ReplacementCharacter;
        break;
    }
    }
    if (text.contains(QChar(0)))
        text.replace(QChar(0), QChar(0x2400));
    return text;
}

std::vector<TextRow> splitRows(const QString& text)
{
    std::vector<TextRow> rows;
    const QChar* p = text.constData();
    const qsizetype n = text.size();
    qsizetype start = 0;
    for (qsizetype i = 0;; ++i) {
        if (i == n) {
            rows.push_back({text.mid(start), false});
            break;
        }
        const char16_t c = p[i].unicode();
        qsizetype next = -1;
        if (c == u'\n' || c == u'\f' || c == 0x2028 || c == 0x2029)
            next = i + 1;
        else if (c == u'\r')
            next = i + 1 < n && p[i + 1] == u'\n' ? i + 2 : i + 1;
        if (next >= 0) {
            rows.push_back({text.mid(start, i - start), false});
            start = next;
            i = next - 1;
            continue;
        }
        if (i - start == MaxRowBytes) {
            qsizetype cut = i;
            if (p[cut].isLowSurrogate() && cut - 1 > start)
                --cut;
            rows.push_back({text.mid(start, cut - start), true});
            start = cut;
            i = cut - 1;
        }
    }
    return rows;
}

void setTextReadHookForTests(TextReadHook hook)
{
    g_readHook.store(hook);
}

struct TextFile::Shared
{
    QByteArray path;
    mutable std::mutex mutex;
    std::condition_variable wake;    // the worker waits for work
    std::condition_variable changed; // callers wait for the first screen
    bool cancelled = false;
    QObject* receiver = nullptr;

    State state = State::Opening;
    int error = 0;
    UniqueFd fd;
    qint64 size = 0;
    QByteArray stamp;
    bool small = false;

    TextEncoding encoding = TextEncoding::Utf8;
    qint64 dataStart = 0;
    uint64_t generation = 0;
    std::vector<Checkpoint> index; // the last one is the start of rows not yet counted, or the end once done
    bool done = false;

    std::map<qint64, CachedBlock> cache;
    qsizetype cachedChars = 0;
    uint64_t tick = 0;
    qint64 wantFirst = 0;
    qint64 wantLast = 0;

    // Under the lock.
    void notify()
    {
        if (receiver)
            QCoreApplication::postEvent(receiver, new QEvent(QEvent::Type(notifyEventType())));
        changed.notify_all();
    }
    qint64 rowsKnown() const { return index.empty() ? 0 : index.back().row; }
    qint64 blocks() const { return index.empty() ? 0 : qint64(index.size()) - 1; }
    qint64 blockOfRow(qint64 row) const
    {
        const auto it = std::upper_bound(index.begin(), index.end(), row,
                                         [](qint64 r, const Checkpoint& c) { return r < c.row; });
        return qint64(it - index.begin()) - 1;
    }
    bool firstScreenReady() const
    {
        if (state == State::Failed)
            return true;
        if (state != State::Open)
            return false;
        if (small)
            return done && qint64(cache.size()) == blocks();
        return blocks() > 0 && cache.count(0) > 0;
    }
    void clearCache()
    {
        cache.clear();
        cachedChars = 0;
    }
    void insert(qint64 k, std::shared_ptr<const Block> block)
    {
        cachedChars += block->chars;
        cache[k] = CachedBlock{std::move(block), ++tick};
        // Drop the longest unused blocks, never the ones in view.
        const qint64 keepFirst = blockOfRow(wantFirst) - 1;
        const qint64 keepLast = blockOfRow(wantLast) + 1;
        while (cachedChars > MaxCachedChars && !small) {
            auto oldest = cache.end();
            for (auto it = cache.begin(); it != cache.end(); ++it)
                if ((it->first < keepFirst || it->first > keepLast) &&
                    (oldest == cache.end() || it->second.used < oldest->second.used))
                    oldest = it;
            if (oldest == cache.end())
                break;
            cachedChars -= oldest->second.block->chars;
            cache.erase(oldest);
        }
    }
    // The next block to read: one in view (or next to it) not read yet; -1 for none.
    qint64 wantedBlock() const
    {
        const qint64 n = blocks();
        if (n == 0)
            return -1;
        const qint64 first = std::max<qint64>(0, blockOfRow(std::min(wantFirst, rowsKnown() - 1)));
        const qint64 last = std::min(n - 1, blockOfRow(std::min(wantLast, rowsKnown() - 1)) + 1);
        for (qint64 k = first; k <= last; ++k)
            if (!cache.count(k))
                return k;
        if (first > 0 && !cache.count(first - 1))
            return first - 1;
        if (small)
            for (qint64 k = 0; k < n; ++k)
                if (!cache.count(k))
                    return k;
        return -1;
    }
};

namespace {

QByteArray fileStamp(const struct stat& s)
{
    return QByteArray::number(qulonglong(s.st_dev)) + ':' + QByteArray::number(qulonglong(s.st_ino)) + ':' +
           QByteArray::number(qlonglong(s.st_size)) + ':' + QByteArray::number(qlonglong(s.st_mtim.tv_sec)) +
           '.' + QByteArray::number(qlonglong(s.st_mtim.tv_nsec));
}

qint64 preadFull(int fd, uchar* into, qint64 length, qint64 offset)
{
    beforeRead();
    qint64 got = 0;
    while (got < length) {
        const ssize_t n = ::pread(fd, into + got, size_t(length - got), off_t(offset + got));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return got > 0 ? got : -1;
        }
        if (n == 0)
            break; // the file ended sooner than it was
        got += n;
    }
    return got;
}

// Builds the index from the worker thread, a chunk at a time.
class Indexer
{
public:
    explicit Indexer(TextFile::Shared& s) : m_s(s) { restart(); }

    void restart()
    {
        std::lock_guard lock(m_s.mutex);
        m_encoding = m_s.encoding;
        m_pos = m_s.dataStart;
        m_row = 0;
        m_lastCheckpoint = {m_pos, 0};
        m_validator = Utf8Validator();
        m_validated = 0;
        m_generation = m_s.generation;
    }

    // One chunk; false when the index is complete.
    bool step(int fd)
    {
        const qint64 size = m_s.size;
        const qint64 length = std::min(IndexChunkBytes, size - m_pos);
        m_buffer.resize(size_t(std::max<qint64>(length, 0)));
        const qint64 got = length > 0 ? preadFull(fd, m_buffer.data(), length, m_pos) : 0;
        const qint64 have = std::max<qint64>(got, 0);
        const bool atEnd = m_pos + have >= size || have < length;
        if (m_encoding == TextEncoding::Utf8) {
            const qint64 from = std::max<qint64>(m_validated - m_pos, 0);
            if (have > from)
                m_validator.feed(m_buffer.data() + from, have - from);
            m_validated = std::max(m_validated, m_pos + have);
            if (m_validator.bad() || (atEnd && !m_validator.validAtEnd())) {
                fallBackToWindows1252();
                return true;
            }
        }
        std::vector<Checkpoint> found;
        bool finished = false;
        qsizetype i = 0;
        while (true) {
            const RowSpan r = scanRow(m_buffer.data(), qsizetype(have), i, atEnd, m_encoding);
            if (r.more)
                break;
            ++m_row;
            if (r.last) {
                found.push_back({m_pos + r.next, m_row});
                finished = true;
                break;
            }
            i = r.next;
            const qint64 at = m_pos + i;
            if (m_row - m_lastCheckpoint.row >= RowsPerCheckpoint ||
                at - m_lastCheckpoint.offset >= BytesPerCheckpoint) {
                m_lastCheckpoint = {at, m_row};
                found.push_back(m_lastCheckpoint);
            }
        }
        m_pos += i;
        std::lock_guard lock(m_s.mutex);
        if (m_s.generation != m_generation || m_s.done)
            return false;
        m_s.index.insert(m_s.index.end(), found.begin(), found.end());
        if (finished)
            m_s.done = true;
        const auto now = std::chrono::steady_clock::now();
        if (finished || now - m_reported >= ProgressInterval) {
            m_reported = now;
            m_s.notify();
        }
        return !finished;
    }

private:
    void fallBackToWindows1252()
    {
        {
            std::lock_guard lock(m_s.mutex);
            m_s.encoding = TextEncoding::Windows1252;
            m_s.dataStart = 0;
            m_s.index.assign(1, Checkpoint{0, 0});
            m_s.done = false;
            m_s.clearCache();
            ++m_s.generation;
            m_s.notify();
        }
        restart();
    }

    TextFile::Shared& m_s;
    TextEncoding m_encoding = TextEncoding::Utf8;
    qint64 m_pos = 0;
    qint64 m_row = 0;
    Checkpoint m_lastCheckpoint{0, 0};
    Utf8Validator m_validator;
    qint64 m_validated = 0;
    uint64_t m_generation = 0;
    std::vector<uchar> m_buffer;
    std::chrono::steady_clock::time_point m_reported{};
};

// The file is shorter than it was: what is left of it is all there is. The index ends
// where the file ends now, and every row read before is read again.
void cutAtShrunkEnd(TextFile::Shared& s, int fd, qint64 readEnd, uint64_t generation)
{
    struct stat info
    {
    };
    qint64 end = readEnd;
    if (::fstat(fd, &info) == 0)
        end = std::min<qint64>(end, info.st_size);
    Checkpoint from{0, 0};
    TextEncoding encoding;
    size_t keep = 0;
    {
        std::lock_guard lock(s.mutex);
        if (s.generation != generation || s.cancelled)
            return;
        end = std::max(end, s.dataStart);
        while (keep + 1 < s.index.size() && s.index[keep + 1].offset <= end)
            ++keep;
        from = s.index[keep];
        encoding = s.encoding;
    }
    std::vector<uchar> bytes(size_t(end - from.offset));
    const qint64 got = std::max<qint64>(preadFull(fd, bytes.data(), qint64(bytes.size()), from.offset), 0);
    qint64 rows = 0;
    for (qsizetype i = 0;;) {
        const RowSpan r = scanRow(bytes.data(), qsizetype(got), i, true, encoding);
        ++rows;
        if (r.last)
            break;
        i = r.next;
    }
    std::lock_guard lock(s.mutex);
    if (s.generation != generation || s.cancelled)
        return;
    s.index.resize(keep + 1);
    s.index.push_back({from.offset + got, from.row + rows});
    s.done = true;
    s.clearCache();
    ++s.generation;
    s.notify();
}

// Reads block k (its bounds taken under the lock) and puts it into the cache.
void readBlock(TextFile::Shared& s, qint64 k)
{
    Checkpoint from{0, 0};
    Checkpoint to{0, 0};
    TextEncoding encoding;
    uint64_t generation;
    int fd;
    {
        std::lock_guard lock(s.mutex);
        if (k + 1 >= qint64(s.index.size()))
            return;
        from = s.index[size_t(k)];
        to = s.index[size_t(k + 1)];
        encoding = s.encoding;
        generation = s.generation;
        fd = s.fd.get();
    }
    std::vector<uchar> bytes(size_t(to.offset - from.offset));
    const qint64 got = std::max<qint64>(preadFull(fd, bytes.data(), qint64(bytes.size()), from.offset), 0);
    auto block = std::make_shared<Block>();
    const qint64 expected = to.row - from.row;
    qsizetype i = 0;
    while (qint64(block->rows.size()) < expected) {
        const RowSpan r = scanRow(bytes.data(), qsizetype(got), i, true, encoding);
        block->rows.push_back(
            {decodeRow(bytes.data() + i, r.contentEnd - i, encoding), !r.last && r.contentEnd == r.next});
        block->chars += block->rows.back().text.size();
        if (r.last)
            break;
        i = r.next;
    }
    if (got < qint64(bytes.size())) {
        cutAtShrunkEnd(s, fd, from.offset + got, generation);
        return;
    }
    std::lock_guard lock(s.mutex);
    if (s.generation != generation || s.cancelled)
        return;
    while (qint64(block->rows.size()) < expected)
        block->rows.emplace_back(); // the file changed in between: no text there now
    s.insert(k, std::move(block));
    s.notify();
}

void work(const std::shared_ptr<TextFile::Shared>& s)
{
    beforeRead();
    ReadableFile file = openForReading(s->path);
    if (!file.isOpen()) {
        std::lock_guard lock(s->mutex);
        s->state = TextFile::State::Failed;
        s->error = file.missing() ? ENOENT : file.error;
        s->notify();
        return;
    }
    const qint64 size = file.size;
    std::vector<uchar> head(size_t(std::min(HeadBytes, size)));
    const qint64 got = std::max<qint64>(preadFull(file.fd.get(), head.data(), qint64(head.size()), 0), 0);
    TextEncoding encoding = TextEncoding::Utf8;
    qint64 start = 0;
    if (got >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
        encoding = TextEncoding::Utf16LE;
        start = 2;
    } else if (got >= 2 && head[0] == 0xFE && head[1] == 0xFF) {
        encoding = TextEncoding::Utf16BE;
        start = 2;
    } else {
        Utf8Validator v;
        v.feed(head.data(), got);
        const bool whole = got >= size;
        if (whole ? !v.validAtEnd() : !v.validSoFar())
            encoding = TextEncoding::Windows1252;
        else if (got >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF)
            start = 3;
    }
    {
        std::lock_guard lock(s->mutex);
        s->fd = std::move(file.fd);
        s->size = size;
        s->stamp = fileStamp(file.status);
        s->small = size <= SmallFileBytes;
        s->encoding = encoding;
        s->dataStart = start;
        s->index.assign(1, Checkpoint{start, 0});
        s->state = TextFile::State::Open;
        s->notify();
    }
    Indexer indexer(*s);
    const int fd = s->fd.get();
    while (true) {
        qint64 block = -1;
        bool indexing = false;
        {
            std::unique_lock lock(s->mutex);
            s->wake.wait(lock, [&] { return s->cancelled || s->wantedBlock() >= 0 || !s->done; });
            if (s->cancelled)
                return;
            block = s->wantedBlock();
            indexing = block < 0 && !s->done;
        }
        if (block >= 0)
            readBlock(*s, block);
        else if (indexing)
            indexer.step(fd);
    }
}

} // namespace

TextFile::TextFile(QByteArray path) : m_path(std::move(path)), m_shared(std::make_shared<Shared>())
{
    m_shared->path = m_path;
    // Detached: a read that never returns (a hung drive) holds only its own thread.
    std::thread([s = m_shared] { work(s); }).detach();
}

TextFile::~TextFile()
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->cancelled = true;
    m_shared->receiver = nullptr;
    m_shared->wake.notify_all();
}

int TextFile::notifyEventType()
{
    static const int type = QEvent::registerEventType();
    return type;
}

void TextFile::setReceiver(QObject* receiver)
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->receiver = receiver;
}

TextFile::State TextFile::waitForFirstScreen(int timeoutMs)
{
    std::unique_lock lock(m_shared->mutex);
    m_shared->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return m_shared->firstScreenReady(); });
    if (m_shared->state == State::Open && !m_shared->firstScreenReady())
        return State::Opening; // open, but its first screen is still being read
    return m_shared->state;
}

TextFile::State TextFile::state() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->state;
}

int TextFile::error() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->error;
}

QByteArray TextFile::stamp() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->stamp;
}

qint64 TextFile::fileSize() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->size;
}

TextEncoding TextFile::encoding() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->encoding;
}

uint64_t TextFile::generation() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->generation;
}

qint64 TextFile::rowCount() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->rowsKnown();
}

bool TextFile::complete() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->done;
}

std::optional<QString> TextFile::row(qint64 index)
{
    std::lock_guard lock(m_shared->mutex);
    Shared& s = *m_shared;
    if (index < 0 || index >= s.rowsKnown())
        return std::nullopt;
    const qint64 k = s.blockOfRow(index);
    const auto it = s.cache.find(k);
    if (it == s.cache.end()) {
        s.wake.notify_all();
        return std::nullopt;
    }
    it->second.used = ++s.tick;
    const auto& rows = it->second.block->rows;
    const qint64 i = index - s.index[size_t(k)].row;
    return i < qint64(rows.size()) ? rows[size_t(i)].text : QString();
}

void TextFile::want(qint64 firstRow, qint64 lastRow)
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->wantFirst = std::max<qint64>(firstRow, 0);
    m_shared->wantLast = std::max(lastRow, m_shared->wantFirst);
    m_shared->wake.notify_all();
}

std::optional<std::vector<TextRow>> TextFile::cachedRows(qint64 first, qint64 last) const
{
    std::lock_guard lock(m_shared->mutex);
    const Shared& s = *m_shared;
    if (s.state != State::Open)
        return std::nullopt;
    first = std::max<qint64>(first, 0);
    last = std::min(last, s.rowsKnown() - 1);
    std::vector<TextRow> rows;
    if (first > last)
        return rows;
    for (qint64 k = s.blockOfRow(first); k <= s.blockOfRow(last); ++k) {
        const auto it = s.cache.find(k);
        if (it == s.cache.end())
            return std::nullopt;
        const auto& block = it->second.block->rows;
        const qint64 start = s.index[size_t(k)].row;
        const qint64 from = std::max(first - start, qint64(0));
        const qint64 to = std::min(last - start + 1, qint64(block.size()));
        if (from < to)
            rows.insert(rows.end(), block.begin() + from, block.begin() + to);
    }
    return rows;
}

std::optional<std::vector<TextRow>> TextFile::readAllRows()
{
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->state != State::Open || !m_shared->done)
            return std::nullopt;
    }
    RowsRead read = readRows(0, std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::max());
    if (read.failed)
        return std::nullopt;
    if (read.rows.empty())
        read.rows.push_back({});
    return std::move(read.rows);
}

TextFile::RowsRead TextFile::readRows(qint64 first, qint64 last, qint64 mostBytes, bool toEnd)
{
    RowsRead result;
    Checkpoint from{0, 0};
    qint64 end = 0;
    TextEncoding encoding;
    int fd;
    {
        std::unique_lock lock(m_shared->mutex);
        Shared& s = *m_shared;
        if (toEnd)
            s.changed.wait(lock, [&] { return s.done || s.cancelled || s.state == State::Failed; });
        if (s.state != State::Open || s.cancelled) {
            result.failed = true;
            return result;
        }
        last = toEnd ? s.rowsKnown() - 1 : std::min(last, s.rowsKnown() - 1);
        first = std::max<qint64>(first, 0);
        if (first > last)
            return result;
        const qint64 k0 = s.blockOfRow(first);
        const qint64 k1 = s.blockOfRow(last);
        from = s.index[size_t(k0)];
        end = s.index[size_t(k1 + 1)].offset;
        // The rows lie in these blocks; at most a block's worth at either end is not theirs.
        if (end - from.offset > mostBytes &&
            end - from.offset - mostBytes > 2 * (BytesPerCheckpoint + 8 * MaxRowBytes)) {
            result.tooBig = true;
            return result;
        }
        encoding = s.encoding;
        fd = s.fd.get();
    }
    std::vector<uchar> bytes(size_t(end - from.offset));
    const qint64 got = preadFull(fd, bytes.data(), qint64(bytes.size()), from.offset);
    if (got < 0) {
        result.failed = true;
        return result;
    }
    qsizetype firstByte = -1;
    qsizetype i = 0;
    for (qint64 row = from.row; row <= last; ++row) {
        const RowSpan r = scanRow(bytes.data(), qsizetype(got), i, true, encoding);
        if (row >= first) {
            if (firstByte < 0)
                firstByte = i;
            if (r.next - firstByte > mostBytes) {
                result.tooBig = true;
                result.rows.clear();
                return result;
            }
            result.rows.push_back(
                {decodeRow(bytes.data() + i, r.contentEnd - i, encoding), !r.last && r.contentEnd == r.next});
        }
        if (r.last)
            break; // the file is shorter now than when it was counted
        i = r.next;
    }
    return result;
}

} // namespace fotarik
