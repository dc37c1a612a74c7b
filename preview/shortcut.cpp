#include "shortcut.h"

#include "errorcatalogue.h"
#include "readablefile.h"

namespace fotarik {

QByteArray shortcutTargetFromBytes(const QByteArray& s)
{
    // Positions as the byte search counts them: from 1, 0 for "not found".
    auto inStr = [&](qsizetype start, const QByteArray& what) -> qsizetype {
        if (start < 1)
            raiseInvalidArgument();
        const qsizetype at = s.indexOf(what, start - 1);
        return at < 0 ? 0 : at + 1;
    };
    try {
        const QByteArray driveMark(":\\");
        const qsizetype p1 = inStr(1, driveMark);
        const qsizetype p2 = inStr(p1 + 2, driveMark);
        const qsizetype p3 = inStr(p2 - 1, QByteArray("\0\0", 2));
        const qsizetype length = p3 - p2 + 1;
        if (p2 == 0 || p3 == 0 || length < 0)
            return {};
        return s.mid(p2 - 2, length);
    } catch (const RaisedError&) {
        return {}; // no second drive mark: the search has nowhere to start
    }
}

QByteArray ShortcutTarget(const QByteArray& shortcutFile)
{
    const ReadableFile file = openForReading(shortcutFile);
    if (!file.isOpen())
        return {};
    return shortcutTargetFromBytes(readAtMost(file.fd, MaxShortcutBytes));
}

} // namespace fotarik
