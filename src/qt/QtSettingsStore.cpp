#include "qt/QtSettingsStore.h"

// Settings live under organisation "Peltwick", application "PeltwickImporter". System-wide files
// (/etc/xdg) are not consulted, so only what this user's program wrote is ever read back.
QtSettingsStore::QtSettingsStore()
    : settings_(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Peltwick"),
                QStringLiteral("PeltwickImporter")) {
    settings_.setFallbacksEnabled(false);
}

/// An absent key reads false. The file keeps Booleans as "true"/"false"; a hand-edited value
/// reads true only when it clearly says so ("true", "1", "yes", "on"), where Qt's own conversion
/// would take any other word, "no" included, as true.
bool QtSettingsStore::boolForKey(const std::string& key) {
    const QVariant value = settings_.value(QString::fromStdString(key));
    if (!value.isValid()) return false;
    if (value.typeId() == QMetaType::Bool) return value.toBool();
    const QString text = value.toString().trimmed().toLower();
    return text == u"true" || text == u"1" || text == u"yes" || text == u"on";
}

/// Every write goes to disk at once, so a crash or a kill loses nothing.
void QtSettingsStore::setBool(const std::string& key, bool value) {
    settings_.setValue(QString::fromStdString(key), value);
    settings_.sync();
}

std::optional<std::string> QtSettingsStore::stringForKey(const std::string& key) {
    const QVariant value = settings_.value(QString::fromStdString(key));
    if (!value.isValid()) return std::nullopt;
    return value.toString().toStdString();
}

void QtSettingsStore::setString(const std::string& key, const std::string& value) {
    settings_.setValue(QString::fromStdString(key), QString::fromStdString(value));
    settings_.sync();
}
