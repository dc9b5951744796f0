// The network time command: NetworkTimeFetch asks the servers; the window shows what
// it found and keeps it for the apply command.
#include "form1.h"

#include "messageboxes.h"
#include "networktimefetch.h"

#include <QPlainTextEdit>

namespace horalis {

void Form1::Command2_Click()
{
    // Fetched once per run; and a click while a fetch waits must not start another
    // fetch inside it on the same socket.
    if (!NetTime.toString().isEmpty() || m_fetching)
        return;

    const QString shownBefore = c1->toPlainText();
    m_fetching = true;
    updatePointer();
    c1->setPlainText(QStringLiteral("正在连接网络时间服务器，请稍候……"));

    const FetchResult result = m_network->GetNetworkTime(m_closing.get_token());
    if (result.status == FetchResult::Fetched) {
        NetDate = result.time.date;
        NetTime = result.time.time;
        m_netInstant = result.time.instant;
    } else if (result.status != FetchResult::Cancelled) {
        m_services.messages.show(result.message, MbOkOnly, QString());
    }
    m_fetching = false;
    updatePointer();
    if (closing())
        return;
    // A reply that could not be read stored nothing: the status line goes back to
    // what it showed before. Any other outcome shows the result line.
    c1->setPlainText(result.status == FetchResult::Unreadable
                         ? shownBefore
                         : QStringLiteral("标准时间： ") + NetDate + u' ' + netTimeText());
}

QString Form1::netTimeText() const
{
    return NetTime.typeId() == QMetaType::QTime ? NetTime.toTime().toString(u"HH:mm:ss")
                                                : NetTime.toString();
}

} // namespace horalis
