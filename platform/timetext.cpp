#include "timetext.h"

#include "runtimeerror.h"

#include <QList>
#include <algorithm>
#include <cstdlib>
#include <initializer_list>

namespace horalis {

namespace {

// Longest piece of the user's text echoed back in an error message.
constexpr qsizetype QuoteLimit = 40;

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\u3000';
}

QStringView trimBlanks(QStringView text)
{
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.mid(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

// A Chinese input method may type the full-width forms (U+FF01-U+FF5E) of ASCII characters.
QChar toHalfWidth(QChar c)
{
    return c.unicode() >= 0xFF01 && c.unicode() <= 0xFF5E ? QChar(c.unicode() - 0xFEE0) : c;
}

QString quoted(QStringView text)
{
    if (text.size() <= QuoteLimit)
        return QStringLiteral("“%1”").arg(text);
    // Never cut a surrogate pair in half.
    const qsizetype cut = text[QuoteLimit - 1].isHighSurrogate() ? QuoteLimit - 1 : QuoteLimit;
    return QStringLiteral("“%1…”").arg(text.first(cut));
}

struct Group {
    int value = 0; // saturates, so check digits before trusting it
    qsizetype digits = 0;
};

// Splits text into groups of ASCII digits joined by one separator taken from `separators`, the
// same one each time. Returns nothing when the text is anything else, including empty groups.
QList<Group> splitGroups(QStringView text, QStringView separators)
{
    QList<Group> groups(1);
    QChar used;
    for (QChar c : text) {
        c = toHalfWidth(c);
        if (c >= u'0' && c <= u'9') {
            Group &group = groups.last();
            group.value = std::min(group.value * 10 + (c.unicode() - u'0'), 99999);
            ++group.digits;
        } else if (separators.contains(c) && (used.isNull() || c == used) &&
                   groups.last().digits > 0) {
            used = c;
            groups.append(Group());
        } else {
            return {};
        }
    }
    if (groups.last().digits == 0)
        return {};
    return groups;
}

// The year ending in the given two digits that lies nearest to currentYear; the earlier on a tie.
int nearestYear(int lastDigits, int currentYear)
{
    const int century = currentYear / 100 * 100;
    int best = century - 100 + lastDigits;
    for (const int candidate : {century + lastDigits, century + 100 + lastDigits}) {
        if (std::abs(candidate - currentYear) < std::abs(best - currentYear))
            best = candidate;
    }
    return best;
}

} // namespace

QTime textToTime(const QString &text)
{
    const QStringView shown = trimBlanks(text);
    if (shown.isEmpty())
        throw RunTimeError(QStringLiteral("时间为空，请按“时:分:秒”填写。"));

    const QList<Group> groups = splitGroups(shown, u":");
    const bool wellFormed =
        (groups.size() == 2 || groups.size() == 3) &&
        std::all_of(groups.begin(), groups.end(), [](const Group &g) { return g.digits <= 2; });
    if (!wellFormed)
        throw RunTimeError(QStringLiteral("%1不是有效的时间，请按“时:分:秒”填写，例如 8:05:30。")
                               .arg(quoted(shown)));

    const int hour = groups[0].value;
    const int minute = groups[1].value;
    const int second = groups.size() == 3 ? groups[2].value : 0;
    QString problem;
    if (hour > 23)
        problem = QStringLiteral("小时应在 0 到 23 之间");
    else if (minute > 59)
        problem = QStringLiteral("分钟应在 0 到 59 之间");
    else if (second > 59)
        problem = QStringLiteral("秒应在 0 到 59 之间");
    if (!problem.isEmpty())
        throw RunTimeError(QStringLiteral("%1不是有效的时间：%2。").arg(quoted(shown), problem));
    return QTime(hour, minute, second);
}

QDate textToDate(const QString &text, int currentYear)
{
    const QStringView shown = trimBlanks(text);
    if (shown.isEmpty())
        throw RunTimeError(QStringLiteral("日期为空，请按“年-月-日”填写。"));

    const QList<Group> groups = splitGroups(shown, u"-/.");
    const bool wellFormed = groups.size() == 3 && groups[1].digits <= 2 && groups[2].digits <= 2;
    if (!wellFormed)
        throw RunTimeError(QStringLiteral("%1不是有效的日期，请按“年-月-日”填写，例如 2026-12-07。")
                               .arg(quoted(shown)));

    const Group year = groups[0];
    const int month = groups[1].value;
    const int day = groups[2].value;
    QString problem;
    if (year.digits == 3 || year.digits > 4)
        problem = QStringLiteral("年份应写 1、2 或 4 位数字");
    else if (year.digits == 4 && year.value == 0)
        problem = QStringLiteral("没有 0 年");
    else if (month < 1 || month > 12)
        problem = QStringLiteral("月份应在 1 到 12 之间");
    const int fullYear = year.digits == 4 ? year.value : nearestYear(year.value, currentYear);
    if (problem.isEmpty() && !QDate::isValid(fullYear, month, day))
        problem = QStringLiteral("%1 年 %2 月没有 %3 日")
                      .arg(QString::number(fullYear), QString::number(month), QString::number(day));
    if (!problem.isEmpty())
        throw RunTimeError(QStringLiteral("%1不是有效的日期：%2。").arg(quoted(shown), problem));
    return QDate(fullYear, month, day);
}

} // namespace horalis
