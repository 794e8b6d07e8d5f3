#include "run_record.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QJsonValue textOrNull(const QString& text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonArray digests(const QList<FileDigest>& files)
{
    QJsonArray array;
    for (const FileDigest& f : files)
        array.append(QJsonObject{{"device_path", f.name},
                                 {"size", double(f.size)},
                                 {"sha256", QString::fromLatin1(f.sha256)}});
    return array;
}

const char* resultName(RunRecord::Result result)
{
    switch (result) {
    case RunRecord::Result::Success:
        return "success";
    case RunRecord::Result::Failed:
        return "failed";
    case RunRecord::Result::Stopped:
        break;
    }
    return "stopped";
}

} // namespace

QByteArray RunRecord::toJsonLine() const
{
    QJsonArray imageArray;
    for (const Image& image : images)
        imageArray.append(QJsonObject{
            {"name", image.name},
            {"sha256", textOrNull(QString::fromLatin1(image.sha256))},
            {"exit_code", image.exitCode < 0 ? QJsonValue() : QJsonValue(image.exitCode)},
            {"failure", textOrNull(image.failure)}});
    // The Device ID as a decimal string: JSON readers that hold numbers as doubles would round
    // IDs above 2^53.
    const QJsonObject o{
        {"run", id},
        {"kind", kind},
        {"start", start.toString(Qt::ISODateWithMs)},
        {"end", end.toString(Qt::ISODateWithMs)},
        {"duration_ms", double(qMax<qint64>(0, start.msecsTo(end)))},
        {"version", version},
        {"host", host},
        {"station", station},
        {"device_id", deviceIdAsked ? QJsonValue(QString::number(deviceId)) : QJsonValue()},
        {"device_id_written", deviceIdWritten},
        {"previous_device_id",
         previousDeviceId ? QJsonValue(QString::number(*previousDeviceId)) : QJsonValue()},
        {"port", textOrNull(port)},
        {"firmware", textOrNull(firmware)},
        {"files", digests(files)},
        {"fetched", digests(fetched)},
        {"images", imageArray},
        {"result", QLatin1String(resultName(result))},
        {"error", result == Result::Failed ? textOrNull(error) : QJsonValue()},
        {"step", result == Result::Failed ? textOrNull(step) : QJsonValue()},
        {"stop_cause", result == Result::Stopped ? textOrNull(stopCause) : QJsonValue()},
        // What the line's units table keeps of a produced unit.
        {"key", textOrNull(QString::fromLatin1(key.toBase64()))},
        {"wifi_mac", textOrNull(wifiMac)},
        {"ethernet_mac", textOrNull(ethernetMac)}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}
