#include "qt/QtDateFormatter.h"

#include <QDateTime>
#include <QLocale>

/// The C locale (LANG=C or C.UTF-8, a fresh system's default) alone puts seconds in its short
/// time; there it is hours and minutes, as everywhere else.
std::string QtDateFormatter::shortDateTime(std::chrono::system_clock::time_point when) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
    const QLocale locale = QLocale::system();
    const QString time = locale.language() == QLocale::C ? locale.toString(local.time(), QStringLiteral("HH:mm"))
                                                         : locale.toString(local.time(), QLocale::ShortFormat);
    return (locale.toString(local.date(), QLocale::ShortFormat) + u' ' + time).toStdString();
}
