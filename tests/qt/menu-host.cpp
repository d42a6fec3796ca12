// menu-host: the tray program's menu used as libdbusmenu-based status-notifier hosts do: the layout read
// once, again only on LayoutUpdated, clicked with the ids held. Prints "ready", then answers each stdin
// line: items (count registered with the watcher), menu (the visible items now, "[x]"/"[ ]" toggles, "(off)"
// disabled), click TITLE, opened (AboutToShow(0) then Event(0, "opened")), closed, ping MS (GetLayout in MS ms).
#include <QtDBus>

#include <iostream>

QVariant remote(const QString& service, const QString& path, const QString& interface, const char* property) {
    return QDBusInterface(service, path, interface).property(property);
}

QStringList registered() { // "service/path", as xfce4-panel lists them
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    return remote(watcher, "/StatusNotifierWatcher", watcher, "RegisteredStatusNotifierItems").toStringList();
}

QString ok(const QDBusMessage& reply) {
    return reply.type() == QDBusMessage::ReplyMessage ? "ok" : reply.errorName();
}

using Items = std::vector<std::pair<int, QVariantMap>>;

class Host : public QObject {
    Q_OBJECT
public:
    bool find() {
        for (int tries = 0; tries < 200 && registered().isEmpty(); ++tries)
            QThread::msleep(50);
        service_ = registered().value(0).section('/', 0, 0);
        const QString item = "/" + registered().value(0).section('/', 1);
        path_ = remote(service_, item, "org.kde.StatusNotifierItem", "Menu").value<QDBusObjectPath>().path();
        QDBusConnection::sessionBus().connect(service_, path_, menu_, "LayoutUpdated", this, SLOT(fetch()));
        fetch();
        return !held_.empty();
    }

    QString run(const QString& line) {
        // First what the program sent before now: Qt hands it over before the reply to a call made now.
        QDBusConnection::sessionBus().call(
            QDBusMessage::createMethodCall(service_, path_, "org.freedesktop.DBus.Peer", "Ping"));
        QCoreApplication::processEvents();
        const QString command = line.section(' ', 0, 0), argument = line.section(' ', 1);
        if (command == "items") return QString::number(registered().size());
        if (command == "ping") return ok(menuCall("GetLayout", {0, -1, QStringList()}, argument.toInt()));
        if (command == "opened" && menuCall("AboutToShow", {0}).arguments().value(0).toBool()) fetch();
        if (command == "opened" || command == "closed") return send(0, command);
        for (const auto& [id, p] : held_)
            if (command == "click" && p.value("visible", true).toBool() && p.value("label") == argument)
                return send(id, "clicked");
        QStringList shown;
        for (const auto& [id, p] : command == "menu" ? layout() : Items())
            if (p.value("visible", true).toBool() && p.value("type") != "separator")
                shown << p.value("label").toString() +
                             (p.contains("toggle-type") ? p.value("toggle-state").toInt() == 1 ? " [x]" : " [ ]" : "") +
                             (p.value("enabled", true).toBool() ? "" : " (off)");
        return command == "menu" ? shown.join(" | ") : "no such item or command";
    }

private slots:
    void fetch() { held_ = layout(); }

private:
    QDBusMessage menuCall(const QString& method, const QVariantList& arguments, int timeoutMs = 5000) {
        auto message = QDBusMessage::createMethodCall(service_, path_, menu_, method);
        message.setArguments(arguments);
        return QDBusConnection::sessionBus().call(message, QDBus::Block, timeoutMs);
    }
    QString send(int id, const QString& event) {
        return ok(menuCall("Event", {id, event, QVariant::fromValue(QDBusVariant(0)), 0u}));
    }
    Items layout() { // (u revision, (ia{sv}av) root): the root's children are the items, without submenus
        const QDBusArgument root =
            menuCall("GetLayout", {0, -1, QStringList()}).arguments().value(1).value<QDBusArgument>();
        Items items;
        root.beginStructure();
        root >> item_.first >> item_.second;
        root.beginArray();
        while (!root.atEnd()) {
            const QDBusArgument node = qdbus_cast<QDBusVariant>(root).variant().value<QDBusArgument>();
            node.beginStructure();
            node >> item_.first >> item_.second;
            items.push_back(item_);
        }
        root.endArray();
        root.endStructure();
        return items;
    }

    const QString menu_ = QStringLiteral("com.canonical.dbusmenu");
    QString service_, path_;
    std::pair<int, QVariantMap> item_;
    Items held_;
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Host host;
    if (!host.find()) return 1;
    std::cout << "ready" << std::endl;
    for (std::string line; std::getline(std::cin, line);)
        std::cout << host.run(QString::fromStdString(line)).toStdString() << std::endl;
}

#include "menu-host.moc"
