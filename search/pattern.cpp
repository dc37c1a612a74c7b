#include "pattern.h"

#include "errorcatalogue.h"

#include <QChar>
#include <QList>
#include <array>
#include <memory>

namespace fotarik::search {

namespace {

constexpr char32_t StrayByteBase = 0xDC00;

// Strict UTF-8: overlong forms, surrogates and values beyond U+10FFFF are stray bytes.
inline size_t decodeOne(const unsigned char* p, size_t n, char32_t& out)
{
    const unsigned char b = p[0];
    if (b < 0x80) {
        out = b;
        return 1;
    }
    size_t len;
    char32_t c;
    char32_t min;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2, c = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3, c = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4, c = b & 0x07, min = 0x10000;
    } else {
        out = StrayByteBase + b;
        return 1;
    }
    if (n < len) {
        out = StrayByteBase + b;
        return 1;
    }
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            out = StrayByteBase + b;
            return 1;
        }
        c = (c << 6) | (p[i] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        out = StrayByteBase + b;
        return 1;
    }
    out = c;
    return len;
}

inline char asciiUpper(unsigned char b)
{
    return (b >= 'a' && b <= 'z') ? char(b - 'a' + 'A') : char(b);
}

// Decodes and upper-cases into `out` (room for at least bytes.size() characters);
// returns the number of characters.
size_t decodeUpper(std::string_view bytes, char32_t* out)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t count = 0;
    for (size_t i = 0; i < n;) {
        if (p[i] < 0x80) {
            out[count++] = char32_t(asciiUpper(p[i]));
            ++i;
            continue;
        }
        char32_t c;
        i += decodeOne(p + i, n - i, c);
        out[count++] = upperChar(c);
    }
    return count;
}

} // namespace

char32_t upperChar(char32_t c)
{
    if (c < 0x80)
        return char32_t(asciiUpper(static_cast<unsigned char>(c)));
    if (c >= 0xD800 && c <= 0xDFFF)
        return c;
    // Simple case mapping: always one character for one, so ß keeps its single place.
    return QChar::toUpper(c);
}

std::u32string decodeBytes(std::string_view bytes)
{
    std::u32string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t i = 0; i < bytes.size();) {
        char32_t c;
        i += decodeOne(p + i, bytes.size() - i, c);
        out.push_back(c);
    }
    return out;
}

PatternList::PatternList(std::string_view utf8)
{
    compile(decodeBytes(utf8));
}

PatternList::PatternList(const QString& text)
{
    std::u32string list;
    list.reserve(size_t(text.size()));
    for (char32_t c : text.toUcs4())
        list.push_back(c);
    compile(list);
}

void PatternList::compile(const std::u32string& list)
{
    size_t start = 0;
    while (true) {
        const size_t end = list.find(U';', start);
        compileElement(list.substr(start, end == std::u32string::npos ? std::u32string::npos : end - start));
        if (end == std::u32string::npos)
            break;
        start = end + 1;
    }
}

void PatternList::compileElement(const std::u32string& raw)
{
    // An empty element would match the empty name, which no file has; it is dropped
    // so it costs nothing per name.
    if (raw.empty())
        return;
    std::u32string e(raw.size(), U'\0');
    for (size_t i = 0; i < raw.size(); ++i)
        e[i] = upperChar(raw[i]);

    Element element;
    auto& tokens = element.tokens;
    const size_t n = e.size();
    for (size_t i = 0; i < n;) {
        const char32_t c = e[i];
        if (c == U'*') {
            if (tokens.empty() || tokens.back().kind != Token::Star)
                tokens.push_back({Token::Star, false, 0, 0, 0});
            ++i;
        } else if (c == U'?') {
            tokens.push_back({Token::AnyChar, false, 0, 0, 0});
            ++i;
        } else if (c == U'#') {
            tokens.push_back({Token::Digit, false, 0, 0, 0});
            ++i;
        } else if (c == U'[') {
            size_t j = i + 1;
            bool negated = false;
            if (j < n && e[j] == U'!') {
                negated = true;
                ++j;
            }
            const size_t close = e.find(U']', j);
            if (close == std::u32string::npos) {
                ++m_invalid;
                return;
            }
            const auto begin = uint32_t(m_ranges.size());
            for (size_t m = j; m < close;) {
                // "-" between two characters makes a range; first or last in the list it
                // stands for itself.
                if (m + 2 < close && e[m + 1] == U'-') {
                    if (e[m] > e[m + 2]) {
                        ++m_invalid;
                        return;
                    }
                    m_ranges.emplace_back(e[m], e[m + 2]);
                    m += 3;
                } else {
                    m_ranges.emplace_back(e[m], e[m]);
                    ++m;
                }
            }
            const auto end = uint32_t(m_ranges.size());
            if (begin == end) {
                // "[]" stands for no character at all; "[!]" excludes nothing, so it is
                // any one character.
                if (negated)
                    tokens.push_back({Token::AnyChar, false, 0, 0, 0});
            } else {
                tokens.push_back({Token::Set, negated, 0, begin, end});
            }
            i = close + 1;
        } else {
            tokens.push_back({Token::Literal, false, c, 0, 0});
            ++i;
        }
    }

    if (!tokens.empty() && tokens.front().kind == Token::Star) {
        bool ascii = true;
        for (size_t t = 1; t < tokens.size() && ascii; ++t)
            ascii = tokens[t].kind == Token::Literal && tokens[t].ch < 0x80;
        if (ascii) {
            element.asciiSuffix = true;
            for (size_t t = 1; t < tokens.size(); ++t)
                element.suffix.push_back(char(tokens[t].ch));
        }
    }
    m_elements.push_back(std::move(element));
}

inline bool PatternList::tokenMatches(const Token& t, char32_t c) const
{
    switch (t.kind) {
    case Token::Literal:
        return c == t.ch;
    case Token::AnyChar:
        return true;
    case Token::Digit:
        return c >= U'0' && c <= U'9';
    case Token::Set: {
        bool in = false;
        for (uint32_t r = t.setBegin; r < t.setEnd && !in; ++r)
            in = c >= m_ranges[r].first && c <= m_ranges[r].second;
        return in != t.negated;
    }
    case Token::Star:
        break;
    }
    return false;
}

// Every token but "*" takes exactly one character, so going back to the last "*" and
// letting it take one more character finds a match whenever there is one.
bool PatternList::matchTokens(const Element& e, const char32_t* name, size_t length) const
{
    const Token* tokens = e.tokens.data();
    const size_t count = e.tokens.size();
    size_t p = 0;
    size_t s = 0;
    size_t starP = SIZE_MAX;
    size_t starS = 0;
    while (s < length) {
        if (p < count && tokens[p].kind == Token::Star) {
            starP = ++p;
            starS = s;
            continue;
        }
        if (p < count && tokenMatches(tokens[p], name[s])) {
            ++p;
            ++s;
            continue;
        }
        if (starP == SIZE_MAX)
            return false;
        p = starP;
        s = ++starS;
    }
    while (p < count && tokens[p].kind == Token::Star)
        ++p;
    return p == count;
}

bool PatternList::matches(std::string_view name) const
{
    if (m_invalid != 0)
        raiseInvalidPattern();

    std::array<char32_t, 512> stackBuffer;
    std::unique_ptr<char32_t[]> heapBuffer;
    const char32_t* decoded = nullptr;
    size_t length = 0;

    for (const Element& e : m_elements) {
        if (e.asciiSuffix) {
            const size_t k = e.suffix.size();
            if (name.size() < k)
                continue;
            // Only while the tail is plain ASCII are its bytes its last characters.
            bool decided = true;
            bool equal = true;
            for (size_t j = 1; j <= k; ++j) {
                const auto b = static_cast<unsigned char>(name[name.size() - j]);
                if (b >= 0x80) {
                    decided = false;
                    break;
                }
                if (asciiUpper(b) != e.suffix[k - j]) {
                    equal = false;
                    break;
                }
            }
            if (decided) {
                if (equal)
                    return true;
                continue;
            }
        }
        if (!decoded) {
            char32_t* out = stackBuffer.data();
            if (name.size() > stackBuffer.size()) {
                heapBuffer = std::make_unique<char32_t[]>(name.size());
                out = heapBuffer.get();
            }
            length = decodeUpper(name, out);
            decoded = out;
        }
        if (matchTokens(e, decoded, length))
            return true;
    }
    return false;
}

bool matchesPatternList(std::string_view name, std::string_view patternList)
{
    return PatternList(patternList).matches(name);
}

} // namespace fotarik::search
