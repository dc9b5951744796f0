#pragma once

#include <QByteArray>
#include <QString>
#include <exception>
#include <utility>

namespace horalis {

// The program's one run-time error: a text that does not convert to a time or a
// date, or a clock that refuses to be set. The description is a complete Chinese
// sentence meant for the user. The apply command shows it; the Daytime client turns
// what the reply parsers throw into its result's message.
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

// A wait on the way to setting the clock was cut short because the window is closing:
// nothing more is done, and nothing is shown, for the program is ending.
class Abandoned : public RunTimeError {
public:
    Abandoned() : RunTimeError(QStringLiteral("窗口已经关闭，没有再修改时间。")) {}
};

} // namespace horalis
