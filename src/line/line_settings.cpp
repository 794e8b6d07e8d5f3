#include "line_settings.h"

#include <QFile>
#include <QSysInfo>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>

#include "regular_file.h"

namespace {

// A server that does not answer the connection within this costs a station no more.
constexpr int kConnectTimeoutS = 3;

// The [line] section's key=value lines; ; and # start comments.
QHash<QString, QString> lineSection(const QString& path)
{
    QHash<QString, QString> values;
    QFile file(path);
    if (!openRegularFile(file))
        return values;
    bool inLine = false;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            inLine = line.compare(QLatin1String("[line]"), Qt::CaseInsensitive) == 0;
            continue;
        }
        const int eq = line.indexOf('=');
        if (inLine && eq > 0)
            values.insert(line.left(eq).trimmed().toLower(), line.mid(eq + 1).trimmed());
    }
    return values;
}

// A libpq value, quoted for the conninfo string Qt's driver builds.
QString quoted(QString value)
{
    value.replace('\\', QLatin1String("\\\\")).replace('\'', QLatin1String("\\'"));
    return '\'' + value + '\'';
}

} // namespace

bool parseDatabaseUrl(const QString& url, ConnectionParams& params, QString* error)
{
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    const QUrl u(url, QUrl::StrictMode);
    if (!u.isValid() ||
        (u.scheme() != QLatin1String("postgresql") && u.scheme() != QLatin1String("postgres")))
        return fail(QStringLiteral("not a postgresql:// URL"));
    params = ConnectionParams();
    params.host = u.host(QUrl::FullyDecoded);
    params.port = u.port(-1);
    params.user = u.userName(QUrl::FullyDecoded);
    params.password = u.password(QUrl::FullyDecoded);
    params.database = u.path(QUrl::FullyDecoded).mid(1);
    QStringList options;
    bool hasTimeout = false;
    const QUrlQuery query(u);
    for (const auto& item : query.queryItems(QUrl::FullyDecoded)) {
        const QString& key = item.first;
        if (key == QLatin1String("host"))
            params.host = item.second;
        else if (key == QLatin1String("port"))
            params.port = item.second.toInt();
        else if (key == QLatin1String("dbname"))
            params.database = item.second;
        else if (key == QLatin1String("user"))
            params.user = item.second;
        else if (key == QLatin1String("password"))
            params.password = item.second;
        else if (key.isEmpty() ||
                 std::any_of(key.begin(), key.end(),
                             [](QChar c) { return c != '_' && (c < 'a' || c > 'z'); }) ||
                 item.second.contains(';'))
            // Qt's driver joins the options with ';', so a ';' of a value would split it.
            return fail(QStringLiteral("unusable URL parameter %1").arg(key));
        else
            options << key + '=' + quoted(item.second);
        hasTimeout = hasTimeout || key == QLatin1String("connect_timeout");
    }
    if (!hasTimeout)
        options << QStringLiteral("connect_timeout=%1").arg(kConnectTimeoutS);
    params.options = options.join(';');
    return true;
}

LineSettings readLineSettings(const QString& stationDir, const QString& databaseOption)
{
    const QHash<QString, QString> file =
        stationDir.isEmpty() ? QHash<QString, QString>()
                             : lineSection(stationDir + QStringLiteral("/station.ini"));
    LineSettings s;
    // Where the database setting came from, so that a bad one is named where it can be mended.
    QString source = QStringLiteral("station.ini database");
    s.database = file.value(QStringLiteral("database"));
    if (qEnvironmentVariableIsSet("VELTORA_DATABASE")) {
        s.database = qEnvironmentVariable("VELTORA_DATABASE");
        source = QStringLiteral("VELTORA_DATABASE");
    }
    if (!databaseOption.isEmpty()) {
        s.database = databaseOption;
        source = QStringLiteral("--database");
    }
    s.station = file.value(QStringLiteral("station"), QSysInfo::machineHostName());
    if (file.contains(QStringLiteral("block_size"))) {
        bool ok = false;
        const int size = file.value(QStringLiteral("block_size")).toInt(&ok);
        if (ok && size > 0)
            s.blockSize = size;
        else
            s.error = QStringLiteral("station.ini block_size must be a whole number above 0");
    }
    if (s.station.isEmpty())
        s.error = QStringLiteral("station.ini station: the station has no name");
    QString urlError;
    if (s.enabled() && !parseDatabaseUrl(s.database, s.connection, &urlError))
        s.error = source + QStringLiteral(": ") + urlError;
    return s;
}
