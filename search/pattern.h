#pragma once
// The file-name test of the search: a list of wildcard patterns separated by ";", each
// compared with the whole name after both sides are upper-cased character by character.
//
// Syntax of one element: "*" any run of characters, "?" one character, "#" one digit 0-9,
// "[list]" one character of the list (ranges "a-z", "-" literal first or last, "!" first
// negates, "[]" matches no character at all), every other character itself. A name or
// pattern that is not valid UTF-8 counts each stray byte as one character of its own.

#include <QString>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fotarik::search {

class PatternList
{
public:
    // `utf8` is the pattern list as bytes; `text` the same as text.
    explicit PatternList(std::string_view utf8);
    explicit PatternList(const QString& text);

    // True when at least one element matches the whole name. Every element is tested,
    // so an invalid element (a "[" that is never closed, a range whose first character
    // comes after its last) raises errors::InvalidPattern (93) for every name, even one
    // that another element matches.
    bool matches(std::string_view name) const;

    // False when an element is invalid (matches() would raise).
    bool isValid() const noexcept { return m_invalid == 0; }

private:
    struct Token
    {
        enum Kind : uint8_t { Literal, AnyChar, Digit, Star, Set };
        Kind kind;
        bool negated;
        char32_t ch;       // Literal
        uint32_t setBegin; // Set: index into m_ranges
        uint32_t setEnd;
    };
    struct Element
    {
        std::vector<Token> tokens;
        // "*" followed by ASCII literals only (the usual "*.JPG"): compared on the raw
        // bytes at the end of the name without decoding it.
        bool asciiSuffix = false;
        std::string suffix;
    };

    void compile(const std::u32string& list);
    void compileElement(const std::u32string& element);
    bool matchTokens(const Element& e, const char32_t* name, size_t length) const;
    bool tokenMatches(const Token& t, char32_t c) const;

    std::vector<Element> m_elements;
    std::vector<std::pair<char32_t, char32_t>> m_ranges;
    int m_invalid = 0;
};

// Convenience for one test: the name against a pattern list, both UTF-8 bytes.
bool matchesPatternList(std::string_view name, std::string_view patternList);

// Upper-cases one character the way the test does: one character to one character,
// so a letter without a single-character capital (ß) stays as it is.
char32_t upperChar(char32_t c);

// Decodes bytes to characters; a byte that is not part of valid UTF-8 becomes
// U+DC00 + byte, a character no name or pattern of valid text can hold.
std::u32string decodeBytes(std::string_view bytes);

} // namespace fotarik::search
