// menu-host: a tray program's menu as a status-notifier host sees it: the one item registered with
// org.kde.StatusNotifierWatcher, its exported com.canonical.dbusmenu layout read once, kept up to
// date from ItemsPropertiesUpdated, read again only on LayoutUpdated (or when AboutToShow asks), and
// clicked with the ids it holds, as libdbusmenu hosts do. Prints "ready" (or exits 1 when no item
// came within 10 s), then answers each line on stdin with one line:
//   items: how many items are registered; menu: the visible items, " [x]" or " [ ]" after a toggle
//   and " (off)" after a disabled one, joined by " | "; click TITLE: Event(id, "clicked") with the
//   held id of the item so titled; opened, closed: Event(0, ...); abouttoshow: AboutToShow(0);
//   ping MS: GetLayout within MS milliseconds. The last four answer "ok" or the error.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QEventLoop>
#include <QThread>

#include <iostream>
#include <string>
#include <vector>

namespace {

QDBusMessage call(const QString& service, const QString& path, const QString& interface, const QString& method,
                  const QVariantList& arguments, int timeoutMs = 5000) {
    auto message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().call(message, QDBus::Block, timeoutMs);
}

QVariant busProperty(const QString& service, const QString& path, const QString& interface, const QString& name) {
    const QDBusMessage reply = call(service, path, "org.freedesktop.DBus.Properties", "Get", {interface, name});
    return reply.arguments().value(0).value<QDBusVariant>().variant();
}

QStringList registeredItems() {
    return busProperty("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                       "RegisteredStatusNotifierItems")
        .toStringList();
}

QString ok(const QDBusMessage& reply) {
    return reply.type() == QDBusMessage::ReplyMessage ? "ok" : reply.errorName();
}

struct Item {
    int id;
    QVariantMap properties;
};

class Host : public QObject {
    Q_OBJECT
public:
    bool find() {
        for (int tries = 0; tries < 200 && registeredItems().isEmpty(); ++tries)
            QThread::msleep(50);
        const QString item = registeredItems().value(0); // "service/path", as xfce4-panel lists them
        service_ = item.section('/', 0, 0);
        path_ = busProperty(service_, "/" + item.section('/', 1), "org.kde.StatusNotifierItem", "Menu")
                    .value<QDBusObjectPath>()
                    .path();
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.connect(service_, path_, menu_, "LayoutUpdated", this, SLOT(fetchLayout()));
        bus.connect(service_, path_, menu_, "ItemsPropertiesUpdated", this, SLOT(update(QDBusMessage)));
        fetchLayout();
        return !items_.empty();
    }

    // Applies what the program sent before now: the reply to a call made now comes after it, and
    // Qt hands both to this thread in that order.
    void catchUp() {
        QEventLoop loop;
        QDBusPendingCallWatcher ping(QDBusConnection::sessionBus().asyncCall(
            QDBusMessage::createMethodCall(service_, path_, "org.freedesktop.DBus.Peer", "Ping"), 5000));
        connect(&ping, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }

    QString run(const QString& line) {
        const QString command = line.section(' ', 0, 0), argument = line.section(' ', 1);
        if (command == "items") return QString::number(registeredItems().size());
        if (command == "menu") return menu();
        if (command == "click") {
            for (const Item& item : items_)
                if (item.properties.value("visible", true).toBool() && item.properties.value("label") == argument)
                    return send(item.id, "clicked");
            return "no item";
        }
        if (command == "opened" || command == "closed") return send(0, command);
        if (command == "abouttoshow") {
            const QDBusMessage reply = menuCall("AboutToShow", {0});
            if (reply.arguments().value(0).toBool()) fetchLayout();
            return ok(reply);
        }
        if (command == "ping") return ok(menuCall("GetLayout", {0, -1, QStringList()}, argument.toInt()));
        return "unknown command";
    }

private slots:
    void fetchLayout() { // (u revision, (ia{sv}av) root): the root's children are the items
        const QDBusMessage reply = menuCall("GetLayout", {0, -1, QStringList()});
        const QDBusArgument root = reply.arguments().value(1).value<QDBusArgument>();
        items_.clear();
        Item item{};
        root.beginStructure();
        root >> item.id >> item.properties;
        root.beginArray();
        while (!root.atEnd()) {
            QDBusVariant child;
            root >> child;
            const QDBusArgument node = child.variant().value<QDBusArgument>();
            node.beginStructure();
            node >> item.id >> item.properties; // a submenu's items would follow
            items_.push_back(item);
        }
        root.endArray();
        root.endStructure();
    }

    // (a(ia{sv}) updated, a(ias) removed): Qt sends every property of a changed item, none as removed.
    void update(const QDBusMessage& signal) {
        const QDBusArgument updated = signal.arguments().value(0).value<QDBusArgument>();
        updated.beginArray();
        while (!updated.atEnd()) {
            Item changed{};
            updated.beginStructure();
            updated >> changed.id >> changed.properties;
            updated.endStructure();
            for (Item& item : items_)
                if (item.id == changed.id) item.properties.insert(changed.properties);
        }
        updated.endArray();
    }

private:
    QDBusMessage menuCall(const QString& method, const QVariantList& arguments, int timeoutMs = 5000) {
        return call(service_, path_, menu_, method, arguments, timeoutMs);
    }

    QString send(int id, const QString& name) {
        return ok(menuCall("Event", {id, name, QVariant::fromValue(QDBusVariant(0)), 0u}));
    }

    QString menu() const {
        QStringList shown;
        for (const Item& item : items_) {
            const QVariantMap& p = item.properties;
            if (!p.value("visible", true).toBool() || p.value("type") == "separator") continue;
            QString text = p.value("label").toString();
            if (p.contains("toggle-type")) text += p.value("toggle-state").toInt() == 1 ? " [x]" : " [ ]";
            if (!p.value("enabled", true).toBool()) text += " (off)";
            shown << text;
        }
        return shown.join(" | ");
    }

    const QString menu_ = QStringLiteral("com.canonical.dbusmenu");
    QString service_, path_;
    std::vector<Item> items_;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Host host;
    if (!host.find()) {
        std::cerr << "menu-host: no status-notifier item with a menu after 10 s\n";
        return 1;
    }
    std::cout << "ready" << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
        host.catchUp();
        std::cout << host.run(QString::fromStdString(line)).toStdString() << std::endl;
    }
    return 0;
}

#include "menu-host.moc"
