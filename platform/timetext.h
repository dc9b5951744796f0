#pragma once

#include <QDate>
#include <QString>
#include <QTime>

namespace horalis {

// Text-to-time and text-to-date conversion as a user in a Chinese locale types it.
// Both throw RunTimeError with a Chinese description naming the rejected text.

// Accepts "H:M:S" and "H:M" (one or two digits each), hours 0-23, minutes and
// seconds 0-59. Surrounding blanks are ignored; full-width digits and "：" count
// as their ASCII forms, since a Chinese input method may produce them.
QTime textToTime(const QString &text);

// Accepts "Y-M-D", "Y/M/D" and "Y.M.D" with a one-, two- or four-digit year and
// one- or two-digit month and day; the day must exist in that month (leap years
// included). A one- or two-digit year is read as the year ending in those digits
// that lies nearest to currentYear (26 -> 2026 and 99 -> 1999 when it is 2026).
QDate textToDate(const QString &text, int currentYear);

} // namespace horalis
