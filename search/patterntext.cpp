#include "patterntext.h"

namespace fotarik::search {

std::string preparePatternList(std::string_view text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    std::string list(text.substr(first, text.find_last_not_of(' ') - first + 1));
    if (!list.empty() && list.back() == ';')
        list.pop_back();
    return list;
}

QString preparePatternList(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    const std::string list =
        preparePatternList(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
    return QString::fromUtf8(list.data(), static_cast<qsizetype>(list.size()));
}

} // namespace fotarik::search
