#include "device_id_history.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "journal_scan.h"

bool readDeviceIdHistory(const QString& journalPath, quint64 toWrite, quint64 held,
                         DeviceIdHistory& history)
{
    history = DeviceIdHistory();
    const QString toWriteText = QString::number(toWrite);
    const QString heldText = QString::number(held);
    // The journal holds Device IDs as quoted decimal strings: only lines carrying one of them
    // as a string are parsed.
    const QList<QByteArray> texts{'"' + toWriteText.toLatin1() + '"',
                                  '"' + heldText.toLatin1() + '"'};
    const auto look = [&](const QByteArray& line) {
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        const QString id = entry.value(QLatin1String("device_id")).toString();
        history.asked = history.asked || id == toWriteText;
        if (!entry.value(QLatin1String("device_id_written")).toBool())
            return true;
        if (id == toWriteText && !history.given) {
            history.given = true;
            history.givenRun = entry.value(QLatin1String("run")).toString();
            history.givenStart = entry.value(QLatin1String("start")).toString();
        }
        if (id == heldText && entry.value(QLatin1String("kind")).toString() == "production" &&
            entry.value(QLatin1String("result")).toString() == "success")
            history.heldProduced = true;
        return !(history.given && history.heldProduced);
    };
    return scanLinesContaining(journalPath, texts, look);
}
