#pragma once

// Horalis's trace as a test sees it: while a recorder lives, the horalis.* categories'
// debug messages are on and collected, "category: message" a line; the rest of Qt's
// messages go where they went before.
#include <QByteArray>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace horalis::test {

class TraceRecorder {
public:
    TraceRecorder()
    {
        s_lines = &m_lines;
        QLoggingCategory::setFilterRules(QStringLiteral("horalis.*.debug=true"));
        s_previous = qInstallMessageHandler(record);
    }
    ~TraceRecorder()
    {
        qInstallMessageHandler(s_previous);
        QLoggingCategory::setFilterRules(QString());
        s_lines = nullptr;
    }
    TraceRecorder(const TraceRecorder &) = delete;
    TraceRecorder &operator=(const TraceRecorder &) = delete;

    const QStringList &lines() const { return m_lines; }
    // Whether a line of the category holds every one of the fragments.
    bool says(const QString &category, const QStringList &fragments) const
    {
        for (const QString &line : m_lines) {
            if (!line.startsWith(category + u':'))
                continue;
            bool all = true;
            for (const QString &fragment : fragments)
                all = all && line.contains(fragment);
            if (all)
                return true;
        }
        return false;
    }
    QByteArray dump() const { return m_lines.join(u'\n').toUtf8(); }

private:
    static void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        const QByteArray category(context.category ? context.category : "");
        if (s_lines && type == QtDebugMsg && category.startsWith("horalis."))
            s_lines->append(QString::fromLatin1(category) + QStringLiteral(": ") + message);
        else if (s_previous)
            s_previous(type, context, message);
    }

    QStringList m_lines;
    static inline QStringList *s_lines = nullptr;
    static inline QtMessageHandler s_previous = nullptr;
};

} // namespace horalis::test
