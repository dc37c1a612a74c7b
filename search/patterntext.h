#pragma once
// The one preparation of a pattern text into the pattern list that is searched, shared by
// the search window and `fotarik --find`, so both search alike.

#include <QString>
#include <string>
#include <string_view>

namespace fotarik::search {

// The pattern list as the search run forms it from the pattern text: blanks (U+0020, and
// nothing else) removed from both ends, then one trailing ";" (only one) removed.
std::string preparePatternList(std::string_view text);
// The same for the window's text: the very same steps on its UTF-8 form.
QString preparePatternList(const QString& text);

} // namespace fotarik::search
