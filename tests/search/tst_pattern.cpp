#include "findcommand.h"
#include "pattern.h"
#include "raisederror.h"

#include <QTest>

using fotarik::RaisedError;
using fotarik::search::PatternList;

namespace {
enum Outcome { NoMatch = 0, Match = 1, Invalid = 2 };
}

class TstPattern : public QObject
{
    Q_OBJECT

private slots:
    void matchesName_data();
    void matchesName();
    void invalidElementRaises93ForEveryName();
    void patternFromTextMatchesLikeFromBytes();
    void upperCasingKeepsOneCharacter();
    void preparedListTrimsBlanksAndOneSemicolon_data();
    void preparedListTrimsBlanksAndOneSemicolon();
};

void TstPattern::matchesName_data()
{
    QTest::addColumn<QByteArray>("patterns");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("outcome");

    const QByteArray pictures = "*.JPG;*.JPEG;*.JFIF;*.JPE";
    // Case, whole-name match, several elements.
    QTest::newRow("lower-case name") << pictures << QByteArray("Foto.jpg") << int(Match);
    QTest::newRow("suffix after the match") << pictures << QByteArray("Foto.jpg.bak") << int(NoMatch);
    QTest::newRow("last element") << pictures << QByteArray("scan.Jpe") << int(Match);
    QTest::newRow("jpeg") << pictures << QByteArray("x.JPEG") << int(Match);
    QTest::newRow("near miss xjpg") << pictures << QByteArray("a.xjpg") << int(NoMatch);
    QTest::newRow("star takes nothing") << pictures << QByteArray(".jpg") << int(Match);
    QTest::newRow("lower-case pattern") << QByteArray("*.jpg") << QByteArray("FOTO.JPG") << int(Match);
    QTest::newRow("star dot star needs a dot") << QByteArray("*.*") << QByteArray("README") << int(NoMatch);
    QTest::newRow("star dot star with dot") << QByteArray("*.*") << QByteArray("a.b") << int(Match);
    QTest::newRow("star alone") << QByteArray("*") << QByteArray("README") << int(Match);
    QTest::newRow("double star") << QByteArray("**") << QByteArray("x") << int(Match);
    QTest::newRow("star backtracks") << QByteArray("A*B*C") << QByteArray("axxbxxbc") << int(Match);
    QTest::newRow("star needs the tail") << QByteArray("A*B*C") << QByteArray("axxbxx") << int(NoMatch);
    QTest::newRow("star between equal letters") << QByteArray("a*a") << QByteArray("a") << int(NoMatch);
    QTest::newRow("ends in repeated letter") << QByteArray("*A") << QByteArray("baa") << int(Match);
    QTest::newRow("leading blank is kept") << QByteArray(" *.JPG") << QByteArray("a.jpg") << int(NoMatch);
    QTest::newRow("leading blank matches blank")
        << QByteArray(" *.JPG") << QByteArray(" a.jpg") << int(Match);
    QTest::newRow("empty list") << QByteArray("") << QByteArray("a.jpg") << int(NoMatch);
    QTest::newRow("only empty elements") << QByteArray(";;") << QByteArray("a.jpg") << int(NoMatch);
    QTest::newRow("trailing empty element harmless")
        << QByteArray("*.JPG;") << QByteArray("a.jpg") << int(Match);

    // ? and #
    QTest::newRow("question mark one char") << QByteArray("?.TXT") << QByteArray("a.txt") << int(Match);
    QTest::newRow("question mark not zero") << QByteArray("?.TXT") << QByteArray(".txt") << int(NoMatch);
    QTest::newRow("hash digit") << QByteArray("IMG_####") << QByteArray("img_0042") << int(Match);
    QTest::newRow("hash not letter") << QByteArray("#") << QByteArray("a") << int(NoMatch);
    QTest::newRow("hash not other digits") << QByteArray("#") << QByteArray("\xd9\xa3") << int(NoMatch);

    // Character lists.
    QTest::newRow("list") << QByteArray("[abc].txt") << QByteArray("B.TXT") << int(Match);
    QTest::newRow("list miss") << QByteArray("[abc].txt") << QByteArray("d.txt") << int(NoMatch);
    QTest::newRow("range") << QByteArray("[a-c]x") << QByteArray("bX") << int(Match);
    QTest::newRow("range miss") << QByteArray("[a-c]") << QByteArray("d") << int(NoMatch);
    QTest::newRow("range equal ends") << QByteArray("[c-c]") << QByteArray("c") << int(Match);
    QTest::newRow("two ranges") << QByteArray("[0-9a-f]") << QByteArray("E") << int(Match);
    QTest::newRow("negated range") << QByteArray("[!a-c]") << QByteArray("d") << int(Match);
    QTest::newRow("negated range miss") << QByteArray("[!a-c]") << QByteArray("A") << int(NoMatch);
    QTest::newRow("hyphen first") << QByteArray("[-a]") << QByteArray("-") << int(Match);
    QTest::newRow("hyphen last") << QByteArray("[a-]") << QByteArray("-") << int(Match);
    QTest::newRow("hyphen last not a range") << QByteArray("[a-]") << QByteArray("b") << int(NoMatch);
    QTest::newRow("hyphen after bang") << QByteArray("[!-]") << QByteArray("-") << int(NoMatch);
    QTest::newRow("hyphen after bang other") << QByteArray("[!-]") << QByteArray("x") << int(Match);
    QTest::newRow("bang not first is literal") << QByteArray("[a!]") << QByteArray("!") << int(Match);
    QTest::newRow("bang first negates") << QByteArray("[!!]") << QByteArray("!") << int(NoMatch);
    QTest::newRow("bang outside a list") << QByteArray("!*") << QByteArray("!x") << int(Match);
    QTest::newRow("empty list takes no character") << QByteArray("[]a") << QByteArray("a") << int(Match);
    QTest::newRow("negated empty list takes one") << QByteArray("[!]") << QByteArray("x") << int(Match);
    QTest::newRow("list takes exactly one") << QByteArray("[ab]") << QByteArray("ab") << int(NoMatch);

    // Special characters written as one-character lists, and "]" outside a list.
    QTest::newRow("escaped star") << QByteArray("a[*]") << QByteArray("a*") << int(Match);
    QTest::newRow("escaped star is no wildcard") << QByteArray("a[*]") << QByteArray("ab") << int(NoMatch);
    QTest::newRow("escaped question mark") << QByteArray("[?]") << QByteArray("?") << int(Match);
    QTest::newRow("escaped question mark literal") << QByteArray("[?]") << QByteArray("x") << int(NoMatch);
    QTest::newRow("escaped hash") << QByteArray("[#]1") << QByteArray("#1") << int(Match);
    QTest::newRow("escaped hash not digit") << QByteArray("[#]") << QByteArray("1") << int(NoMatch);
    QTest::newRow("escaped bracket") << QByteArray("[[]x]") << QByteArray("[X]") << int(Match);
    QTest::newRow("closing bracket outside") << QByteArray("]") << QByteArray("]") << int(Match);

    // Invalid elements.
    QTest::newRow("unclosed list") << QByteArray("[a") << QByteArray("a") << int(Invalid);
    QTest::newRow("lone bracket") << QByteArray("*.jpg;[") << QByteArray("a.jpg") << int(Invalid);
    QTest::newRow("unclosed after a matching element")
        << QByteArray("*.JPG;[a") << QByteArray("x.jpg") << int(Invalid);
    QTest::newRow("reversed range") << QByteArray("[z-a]") << QByteArray("m") << int(Invalid);
    QTest::newRow("range reversed by upper-casing") << QByteArray("[Z-a]") << QByteArray("Z") << int(Invalid);

    // Letters beyond ASCII: upper-cased one character to one.
    QTest::newRow("umlaut any case") << QByteArray("ä*") << QByteArray("Äpfel.jpg") << int(Match);
    QTest::newRow("umlaut in name") << QByteArray("*ÜBERSICHT*") << QByteArray("alte übersicht.txt")
                                    << int(Match);
    QTest::newRow("accent") << QByteArray("É*") << QByteArray("école") << int(Match);
    QTest::newRow("umlaut range") << QByteArray("[à-ö]") << QByteArray("Ä") << int(Match);
    QTest::newRow("sharp s is one character") << QByteArray("STRA?E") << QByteArray("straße") << int(Match);
    QTest::newRow("sharp s is not SS") << QByteArray("STRASSE") << QByteArray("straße") << int(NoMatch);
    QTest::newRow("sharp s matches itself") << QByteArray("straße") << QByteArray("STRAßE") << int(Match);
    QTest::newRow("umlaut tail") << QByteArray("*.JPG") << QByteArray("x.jpgä") << int(NoMatch);
    QTest::newRow("tail upper-cased to ASCII") << QByteArray("*I") << QByteArray("\xc4\xb1") << int(Match);
    QTest::newRow("multi-byte before ASCII tail") << QByteArray("?.JPG") << QByteArray("ö.jpg") << int(Match);

    // Bytes that are not UTF-8: one character each.
    QTest::newRow("stray byte is one character")
        << QByteArray("?.JPG") << QByteArray("\xff.jpg") << int(Match);
    QTest::newRow("stray byte not two") << QByteArray("??.JPG") << QByteArray("\xff.jpg") << int(NoMatch);
    QTest::newRow("star over stray bytes") << QByteArray("*") << QByteArray("\xff\xfe\x80") << int(Match);
    QTest::newRow("truncated sequence two bytes") << QByteArray("??") << QByteArray("\xe2\x82") << int(Match);
    QTest::newRow("truncated sequence not one") << QByteArray("?") << QByteArray("\xe2\x82") << int(NoMatch);
    QTest::newRow("overlong form is stray") << QByteArray("??") << QByteArray("\xc0\xaf") << int(Match);
    QTest::newRow("same stray byte in pattern") << QByteArray("\xff*")
                                                << QByteArray("\xff"
                                                              "abc")
                                                << int(Match);
    QTest::newRow("stray byte differs from letter") << QByteArray("\xe4*") << QByteArray("ä") << int(NoMatch);
    QTest::newRow("stray byte in a list") << QByteArray("[\xc3]") << QByteArray("\xc3") << int(Match);
}

void TstPattern::matchesName()
{
    QFETCH(QByteArray, patterns);
    QFETCH(QByteArray, name);
    QFETCH(int, outcome);

    const PatternList list(std::string_view(patterns.constData(), size_t(patterns.size())));
    QCOMPARE(list.isValid(), outcome != Invalid);
    const std::string_view n(name.constData(), size_t(name.size()));
    if (outcome == Invalid) {
        QVERIFY_THROWS_EXCEPTION(RaisedError, list.matches(n));
    } else {
        QCOMPARE(list.matches(n), outcome == Match);
    }
}

void TstPattern::invalidElementRaises93ForEveryName()
{
    const PatternList list(std::string_view("*;*.JPG;[!a-"));
    for (const char* name : {"a.jpg", "b", "\xff"}) {
        try {
            list.matches(name);
            QFAIL("no error raised");
        } catch (const RaisedError& e) {
            QCOMPARE(e.number(), 93);
            QCOMPARE(e.source(), QStringLiteral("Fotarik"));
            QCOMPARE(e.description(), QStringLiteral("Ungültige Musterzeichenfolge"));
        }
    }
}

void TstPattern::patternFromTextMatchesLikeFromBytes()
{
    const PatternList fromText(QStringLiteral("*.jpg;straße*;[ä-ü]?"));
    QVERIFY(fromText.matches("BILD.JPG"));
    QVERIFY(fromText.matches("STRAßE 1"));
    QVERIFY(fromText.matches("Öl"));
    QVERIFY(!fromText.matches("ÖL.png"));
    QVERIFY(!PatternList(QStringLiteral("[a")).isValid());
}

void TstPattern::upperCasingKeepsOneCharacter()
{
    using fotarik::search::upperChar;
    QCOMPARE(upperChar(U'ä'), U'Ä');
    QCOMPARE(upperChar(U'é'), U'É');
    QCOMPARE(upperChar(U'ß'), U'ß');
    QCOMPARE(upperChar(U'ÿ'), U'Ÿ');
    QCOMPARE(upperChar(U'z'), U'Z');
    QCOMPARE(upperChar(char32_t(0xDCFF)), char32_t(0xDCFF));
    QCOMPARE(fotarik::search::decodeBytes("a\xff\xc3\xa4").size(), size_t(3));
}

void TstPattern::preparedListTrimsBlanksAndOneSemicolon_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("list");
    QTest::newRow("trailing semicolon") << "*.JPG;"
                                        << "*.JPG";
    QTest::newRow("two semicolons keep one") << "*.JPG;;"
                                             << "*.JPG;";
    QTest::newRow("blanks around") << "  *.JPG;*.GIF;  "
                                   << "*.JPG;*.GIF";
    QTest::newRow("blanks inside stay") << " *.JPG; *.GIF"
                                        << "*.JPG; *.GIF";
    QTest::newRow("only blanks") << "   "
                                 << "";
    QTest::newRow("semicolon before blank") << "*.JPG ;"
                                            << "*.JPG ";
    QTest::newRow("tab is no blank") << "\t*.JPG"
                                     << "\t*.JPG";
}

void TstPattern::preparedListTrimsBlanksAndOneSemicolon()
{
    QFETCH(QString, text);
    QFETCH(QString, list);
    QCOMPARE(fotarik::search::preparePatternList(text), list);
    const QByteArray bytes = text.toUtf8();
    QCOMPARE(QString::fromStdString(fotarik::search::preparePatternList(
                 std::string_view(bytes.constData(), size_t(bytes.size())))),
             list);
}

QTEST_APPLESS_MAIN(TstPattern)
#include "tst_pattern.moc"
