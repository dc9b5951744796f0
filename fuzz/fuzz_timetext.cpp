// The text a user or a paste puts in the fields, read as a time and as a date: any UTF-16,
// full-width and mixed digits, long texts, lone surrogates.
//
// Input: the current year, two bytes little-endian (0 to 65535), then the text as 16-bit
// units, little-endian, any value.
#include "require.h"
#include "runtimeerror.h"
#include "timetext.h"

#include <QDate>
#include <QList>
#include <QString>
#include <QStringView>
#include <QTime>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace horalis;

namespace {

// Longest message: the quoted text is cut to 40 units, the rest is a sentence.
constexpr qsizetype LongestMessage = 120;

struct Number {
    int value = 0;
    qsizetype digits = 0;
};

// A character's ASCII form when Unicode names it the wide (full-width) form of one, as a
// Chinese input method types them; the character itself otherwise.
QChar narrowed(QChar c)
{
    const QString ascii = c.decomposition();
    return c.decompositionTag() == QChar::Wide && ascii.size() == 1 && ascii[0].unicode() < 0x80
               ? ascii[0]
               : c;
}

// The numbers an accepted text names, worked out without the converters' code: the
// full-width forms read as ASCII, the blanks around cut off, the rest split at the one
// separator it uses. Empty when that leaves anything but digits.
QList<Number> numbersIn(const QString &text, QStringView separators)
{
    QString plain;
    for (const QChar c : text)
        plain += narrowed(c);
    const auto blank = [](QChar c) {
        return c == u' ' || c == u'\t' || c == u'\u3000';
    };
    while (!plain.isEmpty() && blank(plain.front()))
        plain.remove(0, 1);
    while (!plain.isEmpty() && blank(plain.back()))
        plain.chop(1);
    const auto digit = [](QChar c) {
        return c >= u'0' && c <= u'9';
    };
    const auto separator = std::find_if_not(plain.cbegin(), plain.cend(), digit);
    if (separator == plain.cend() || !separators.contains(*separator))
        return {};
    QList<Number> numbers;
    for (const QString &part : plain.split(*separator)) {
        if (part.isEmpty() || !std::all_of(part.cbegin(), part.cend(), digit))
            return {};
        numbers.append({part.toInt(), part.size()});
    }
    return numbers;
}

void refused(const RunTimeError &error, const QString &text)
{
    const QString description = error.description();
    HORALIS_REQUIRE(!description.isEmpty());
    HORALIS_REQUIRE(description.size() <= LongestMessage);
    // A quote cut short never splits a surrogate pair the text had whole.
    HORALIS_REQUIRE(!QStringView(text).isValidUtf16() || QStringView(description).isValidUtf16());
}

void readTime(const QString &text)
{
    QTime time;
    try {
        time = textToTime(text);
    } catch (const RunTimeError &error) {
        refused(error, text);
        return;
    }
    const QList<Number> numbers = numbersIn(text, u":");
    HORALIS_REQUIRE(numbers.size() == 2 || numbers.size() == 3);
    for (const Number &number : numbers)
        HORALIS_REQUIRE(number.digits <= 2);
    HORALIS_REQUIRE(time.isValid());
    HORALIS_REQUIRE(time.hour() == numbers[0].value && time.minute() == numbers[1].value);
    HORALIS_REQUIRE(time.second() == (numbers.size() == 3 ? numbers[2].value : 0));
    HORALIS_REQUIRE(time.msec() == 0);
}

void readDate(const QString &text, int currentYear)
{
    QDate date;
    try {
        date = textToDate(text, currentYear);
    } catch (const RunTimeError &error) {
        refused(error, text);
        return;
    }
    const QList<Number> numbers = numbersIn(text, u"-/.");
    HORALIS_REQUIRE(numbers.size() == 3);
    HORALIS_REQUIRE(date.isValid());
    HORALIS_REQUIRE(date.month() == numbers[1].value && numbers[1].digits <= 2);
    HORALIS_REQUIRE(date.day() == numbers[2].value && numbers[2].digits <= 2);
    const Number year = numbers[0];
    if (year.digits == 4) {
        HORALIS_REQUIRE(date.year() == year.value);
        return;
    }
    // A short year is the nearest to the current one that ends in its digits.
    HORALIS_REQUIRE(year.digits <= 2);
    HORALIS_REQUIRE(std::abs(date.year() - currentYear) <= 50);
    HORALIS_REQUIRE(((date.year() - year.value) % 100 + 100) % 100 == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int currentYear = data[0] | (data[1] << 8);
    QString text;
    for (std::size_t i = 2; i + 1 < size; i += 2)
        text += QChar(char16_t(data[i] | (data[i + 1] << 8)));
    readTime(text);
    readDate(text, currentYear);
    return 0;
}
