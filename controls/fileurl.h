#pragma once
// The file: URL of a local path given as the file system's bytes. Bytes that are not UTF-8
// stay percent-encoded, so the URL names exactly that file.

#include <QByteArray>
#include <QUrl>

namespace fotarik {

inline QUrl fileUrl(const QByteArray& path)
{
    return QUrl::fromEncoded("file://" + path.toPercentEncoding("/"), QUrl::StrictMode);
}

} // namespace fotarik
