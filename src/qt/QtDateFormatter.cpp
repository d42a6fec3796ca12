#include "qt/QtDateFormatter.h"

#include <QDateTime>
#include <QLocale>

std::string QtDateFormatter::shortDateTime(std::chrono::system_clock::time_point when) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
    const QLocale locale = QLocale::system();
    return (locale.toString(local.date(), QLocale::ShortFormat) + u' ' +
            locale.toString(local.time(), QLocale::ShortFormat))
        .toStdString();
}
