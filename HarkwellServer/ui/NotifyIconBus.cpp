#include "NotifyIconBus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>

#include "comrt/messages.h"
#include "corvane/uldebug.h"

namespace {

constexpr char kNotificationsService[] = "org.freedesktop.Notifications";
constexpr char kNotificationsPath[] = "/org/freedesktop/Notifications";

}  // namespace

// The Quit method, answered without generated adaptors: the bus library hands each call on the path here.
class CNotifyIconBus::CQuitObject final : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override {
        return QStringLiteral("<interface name=\"%1\"><method name=\"Quit\"/></interface>")
            .arg(QLatin1String(kNotifyIconInterface));
    }
    bool handleMessage(const QDBusMessage& Message, const QDBusConnection& Connection) override {
        if (Message.interface() != QLatin1String(kNotifyIconInterface) || Message.member() != QLatin1String("Quit"))
            return false;
        UL_TRACE(corvane::TRACE_LEVEL_ERROR, "Quit asked for on the bus by %s\n",
                 Message.service().toUtf8().constData());
        // As the registered quit message did: the loop of this thread ends with exit code 0.
        PostQuitMessage(0);
        if (!Message.isReplyRequired()) return true;
        Connection.send(Message.createReply());
        return true;
    }
};

CNotifyIconBus::CNotifyIconBus() : m_pQuitObject(std::make_unique<CQuitObject>()) {
    QDBusConnection Bus = QDBusConnection::sessionBus();
    if (!Bus.isConnected()) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "No session bus: no notifications, and no Quit on the bus (%s)\n",
                 Bus.lastError().message().toUtf8().constData());
        return;
    }
    m_bConnected = true;
    if (!Bus.registerVirtualObject(QLatin1String(kNotifyIconObjectPath), m_pQuitObject.get())) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "The tray window's object cannot be registered on the session bus\n");
    }
    if (!Bus.registerService(QLatin1String(kNotifyIconBusName))) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "%s is owned by another process; Quit is reachable at %s only\n",
                 kNotifyIconBusName, Bus.baseService().toUtf8().constData());
    }
}

CNotifyIconBus::~CNotifyIconBus() {
    if (!m_bConnected) return;
    QDBusConnection Bus = QDBusConnection::sessionBus();
    Bus.unregisterObject(QLatin1String(kNotifyIconObjectPath));
    Bus.unregisterService(QLatin1String(kNotifyIconBusName));
}

bool CNotifyIconBus::Notify(const QString& sTitle, const QString& sText, int nTimeOut, unsigned char nUrgency) {
    if (!m_bConnected) return false;
    QDBusConnection Bus = QDBusConnection::sessionBus();
    // Asked each time: a notification server may come (or go) while the tray runs.
    if (!Bus.interface()->isServiceRegistered(QLatin1String(kNotificationsService))) {
        if (!m_bMissingNotificationsTraced) {
            UL_TRACE(corvane::TRACE_LEVEL_FAILURE,
                     "No notification server on the session bus: balloons are not shown\n");
            m_bMissingNotificationsTraced = true;
        }
        return false;
    }
    m_bMissingNotificationsTraced = false;
    QDBusMessage Call =
        QDBusMessage::createMethodCall(QLatin1String(kNotificationsService), QLatin1String(kNotificationsPath),
                                       QLatin1String(kNotificationsService), QStringLiteral("Notify"));
    QVariantMap Hints;
    Hints.insert(QStringLiteral("urgency"), QVariant::fromValue(static_cast<uchar>(nUrgency)));
    Call << QStringLiteral("Corvane Harkwell Server") << 0u << QString() << sTitle << sText << QStringList() << Hints
         << nTimeOut;
    // Not waited for: a slow notification server must not hold up the window.
    return Bus.send(Call);
}
