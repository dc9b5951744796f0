#pragma once
// Summaries of a benchmark's errors, in milliseconds.

#include <QList>

#include <algorithm>
#include <cmath>

namespace horalis::bench {

inline double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

inline double worstAbs(const QList<double> &values)
{
    double worst = 0;
    for (double v : values)
        worst = std::max(worst, std::abs(v));
    return worst;
}

inline double mean(const QList<double> &values)
{
    double sum = 0;
    for (double v : values)
        sum += v;
    return values.isEmpty() ? 0 : sum / values.size();
}

inline QList<double> absolute(QList<double> values)
{
    for (double &v : values)
        v = std::abs(v);
    return values;
}

} // namespace horalis::bench
