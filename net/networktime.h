#pragma once

#include "instant.h"

#include <QString>
#include <QVariant>

namespace horalis {

// What a fetch found: the time as the status line shows it, and the instant it
// stands for, worked out from the replies.
struct NetworkTime {
    QString date;  // Beijing date text: "YYYY-MM-DD" from the primary, "YY-MM-DD" from NIST
    QVariant time; // Beijing time of day: the primary's text, or a QTime from NIST
    Instant instant;
};

struct FetchResult {
    enum Status {
        Fetched,
        Failed,     // no server gave a time; message says which
        Unreadable, // a server's answer is not a time, or by its own health flag not a good one
        Cancelled,  // a stop was requested: the program is ending
    };
    Status status = Failed;
    NetworkTime time;
    QString message; // for Failed and Unreadable, the sentence for the user
};

} // namespace horalis
