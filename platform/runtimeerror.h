#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace horalis {

// The program's one run-time error: a text that does not convert to a time or a
// date, or a clock that refuses to be set. The description is a complete Chinese
// sentence meant for the user; only the apply command catches and shows it.
class RunTimeError : public std::exception {
public:
    explicit RunTimeError(QString description)
        : m_description(std::move(description)), m_utf8(m_description.toUtf8())
    {
    }

    const QString &description() const noexcept { return m_description; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_description;
    QByteArray m_utf8;
};

} // namespace horalis
