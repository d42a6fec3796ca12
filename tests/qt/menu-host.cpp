// menu-host: a tray program's menu as a status-notifier host sees it. Finds the one item registered
// with org.kde.StatusNotifierWatcher on the session bus and its exported com.canonical.dbusmenu,
// reads the layout once, applies ItemsPropertiesUpdated to the items it holds, reads the layout
// again only on LayoutUpdated (or when AboutToShow asks for it), and clicks with the ids it holds,
// as hosts built on libdbusmenu do. Prints "ready" (or exits 1 when no item came within 10 s), then
// answers each command on stdin with one line:
//   items                 the number of registered items
//   menu                  the visible items: "title [x]" or "[ ]" for toggles, " (off)" when
//                         disabled, joined by " | "
//   click TITLE           Event(id, "clicked") on the held item with that title: ok, or no item
//   opened | closed       Event(0, "opened" or "closed"): ok
//   abouttoshow           AboutToShow(0): ok
//   ping MS               GetLayout answered within MS milliseconds: ok, or late
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QThread>

#include <iostream>
#include <string>
#include <vector>

namespace {

QDBusConnection bus() {
    return QDBusConnection::sessionBus();
}

QVariant busProperty(const QString& service, const QString& path, const QString& interface, const QString& name) {
    auto call = QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Properties", "Get");
    call << interface << name;
    const QDBusMessage reply = bus().call(call, QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage ? reply.arguments().value(0).value<QDBusVariant>().variant()
                                                      : QVariant();
}

QStringList registeredItems() {
    return busProperty("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                    "RegisteredStatusNotifierItems")
        .toStringList();
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
        const QString item = registeredItems().value(0); // "service/path", or only a service
        if (item.isEmpty()) return false;
        const qsizetype slash = item.indexOf('/');
        service_ = slash < 0 ? item : item.left(slash);
        const QString itemPath = slash < 0 ? QStringLiteral("/StatusNotifierItem") : item.mid(slash);
        path_ = busProperty(service_, itemPath, "org.kde.StatusNotifierItem", "Menu").value<QDBusObjectPath>().path();
        if (path_.isEmpty()) return false;
        const char* interface = "com.canonical.dbusmenu";
        bus().connect(service_, path_, interface, "LayoutUpdated", this, SLOT(fetchLayout()));
        bus().connect(service_, path_, interface, "ItemsPropertiesUpdated", this, SLOT(update(QDBusMessage)));
        fetchLayout();
        return !items_.empty();
    }

    std::string run(const QString& line) {
        const QString command = line.section(' ', 0, 0), argument = line.section(' ', 1);
        if (command == "items") return std::to_string(registeredItems().size());
        if (command == "menu") return menu().toStdString();
        if (command == "click") {
            for (const Item& item : items_)
                if (item.properties.value("visible", true).toBool() && item.properties.value("label") == argument)
                    return event(item.id, "clicked");
            return "no item";
        }
        if (command == "opened" || command == "closed") return event(0, command);
        if (command == "abouttoshow") {
            const QDBusMessage reply = call("AboutToShow", {0});
            if (reply.arguments().value(0).toBool()) fetchLayout();
            return reply.type() == QDBusMessage::ReplyMessage ? "ok" : "error";
        }
        if (command == "ping")
            return call("GetLayout", {0, -1, QStringList()}, argument.toInt()).type() == QDBusMessage::ReplyMessage
                       ? "ok"
                       : "late";
        return "unknown command";
    }

private slots:
    void fetchLayout() {
        const QDBusMessage reply = call("GetLayout", {0, -1, QStringList()});
        if (reply.arguments().size() < 2) return;
        items_.clear();
        readNode(reply.arguments().at(1).value<QDBusArgument>(), &items_);
    }

    // ItemsPropertiesUpdated(a(ia{sv}) updated, a(ias) removed): merged into the held items.
    void update(const QDBusMessage& signal) {
        const QDBusArgument updated = signal.arguments().value(0).value<QDBusArgument>();
        updated.beginArray();
        while (!updated.atEnd()) {
            int id = 0;
            QVariantMap changed;
            updated.beginStructure();
            updated >> id >> changed;
            updated.endStructure();
            for (Item& item : items_)
                if (item.id == id) item.properties.insert(changed);
        }
        updated.endArray();
        const QDBusArgument removed = signal.arguments().value(1).value<QDBusArgument>();
        removed.beginArray();
        while (!removed.atEnd()) {
            int id = 0;
            QStringList names;
            removed.beginStructure();
            removed >> id >> names;
            removed.endStructure();
            for (Item& item : items_)
                if (item.id == id)
                    for (const QString& name : names)
                        item.properties.remove(name);
        }
        removed.endArray();
    }

private:
    // A layout node (ia{sv}av); `children`, when given, gets its children in order (the menu has
    // no submenus).
    static Item readNode(const QDBusArgument& node, std::vector<Item>* children) {
        Item item{};
        node.beginStructure();
        node >> item.id >> item.properties;
        node.beginArray();
        while (!node.atEnd()) {
            QDBusVariant child;
            node >> child;
            const Item read = readNode(child.variant().value<QDBusArgument>(), nullptr);
            if (children) children->push_back(read);
        }
        node.endArray();
        node.endStructure();
        return item;
    }

    QDBusMessage call(const QString& method, const QVariantList& arguments, int timeoutMs = 5000) {
        auto message = QDBusMessage::createMethodCall(service_, path_, "com.canonical.dbusmenu", method);
        message.setArguments(arguments);
        return bus().call(message, QDBus::Block, timeoutMs);
    }

    std::string event(int id, const QString& name) {
        const QDBusMessage reply =
            call("Event", {id, name, QVariant::fromValue(QDBusVariant(0)), static_cast<unsigned>(0)});
        return reply.type() == QDBusMessage::ReplyMessage ? "ok" : reply.errorMessage().toStdString();
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
    std::string line;
    while (std::getline(std::cin, line)) {
        QCoreApplication::processEvents(); // the signals that came in meanwhile
        std::cout << host.run(QString::fromStdString(line)) << std::endl;
    }
    return 0;
}

#include "menu-host.moc"
