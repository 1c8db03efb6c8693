#include "untCommon.h"

#include <QDir>
#include <QStandardPaths>
#include <QUrl>

EOrvexaError::EOrvexaError(QString message)
    : FMessage(std::move(message)), FUtf8(FMessage.toStdString())
{
}

TConfig CurrentConfig;

const char* const ConnStrNT =
    "Provider=SQLOLEDB.1;Persist Security Info=False;Data Source=%s;Integrated Security=SSPI";
const char* const ConnStrSQL =
    "Provider=SQLOLEDB.1;Data Source=%s;Persist Security Info=True;User ID=%s;Password=\"%s\"";
const char* const ConnStrCatalog = ";Initial Catalog=%s";

const char* const MakerWebSite = "https://orvexa.example.org/";
const char* const MakerSupportMail = "support@orvexa.example.org";

namespace {

// Fills the %s placeholders of a format in order. The values are inserted as
// they are: a value holding "%s" is never expanded again.
QString FillFormat(const QString& format, const QStringList& values)
{
    QString out;
    out.reserve(format.size() + 64);
    qsizetype from = 0;
    int next = 0;
    for (;;) {
        const qsizetype at = format.indexOf(QLatin1String("%s"), from);
        if (at < 0 || next >= values.size()) {
            out += QStringView(format).mid(from);
            return out;
        }
        out += QStringView(format).mid(from, at - from);
        out += values[next++];
        from = at + 2;
    }
}

QString WithTrailingSlash(QString path)
{
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

} // namespace

QString InstanceConnStr(const TInstanceInfo& info)
{
    if (info.NT)
        return FillFormat(QString::fromLatin1(ConnStrNT), {info.InstanceName});
    return FillFormat(QString::fromLatin1(ConnStrSQL), {info.InstanceName, info.UserName, info.UserPWD});
}

QString DatabaseConnStr(const TInstanceAndDBInfo& info)
{
    if (info.NT)
        return FillFormat(QString::fromLatin1(ConnStrNT) + QString::fromLatin1(ConnStrCatalog),
                          {info.InstanceName, info.DatabaseName});
    return FillFormat(QString::fromLatin1(ConnStrSQL) + QString::fromLatin1(ConnStrCatalog),
                      {info.InstanceName, info.UserName, info.UserPWD, info.DatabaseName});
}

QString GetAppDataPath()
{
    // The local (non-roaming) application-data folder: $XDG_DATA_HOME on Linux,
    // %LOCALAPPDATA% on Windows.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        throw EOrvexaError(QStringLiteral("Cannot locate the app data path."));
    const QString folder = WithTrailingSlash(base) + QStringLiteral("Velmora/");
    // A failure to create the folder surfaces when the store file is opened.
    QDir().mkpath(folder);
    return folder;
}

QString GetDocumentsPath()
{
    const QString docs = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (docs.isEmpty())
        return {};
    QDir().mkpath(docs);
    return WithTrailingSlash(docs);
}

QString CenterTitle(const QString& text)
{
    const qsizetype d = 60 - text.size();
    // The left run is d / 2 truncated toward zero; the right run takes the odd one.
    const qsizetype left = d / 2;
    const qsizetype right = (d % 2 != 0) ? left + 1 : left;
    return QString(qMax<qsizetype>(left, 0), QLatin1Char('=')) + text
         + QString(qMax<qsizetype>(right, 0), QLatin1Char('='));
}

QString GetTimeStamp(const QDateTime& t)
{
    const QDate date = t.date();
    const QTime time = t.time();
    const QString ms = (QStringLiteral("0") + QString::number(time.msec())).right(2);
    return QString::number(date.year())
         + QStringLiteral("%1%2%3%4%5")
               .arg(date.month(), 2, 10, QLatin1Char('0'))
               .arg(date.day(), 2, 10, QLatin1Char('0'))
               .arg(time.hour(), 2, 10, QLatin1Char('0'))
               .arg(time.minute(), 2, 10, QLatin1Char('0'))
               .arg(time.second(), 2, 10, QLatin1Char('0'))
         + ms;
}

QString ExtractFileName(const QString& path)
{
    const qsizetype at = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    return path.mid(at + 1);
}

QString TrimBlanksAndControls(const QString& text)
{
    qsizetype from = 0, to = text.size();
    while (from < to && text.at(from).unicode() <= 32)
        ++from;
    while (to > from && text.at(to - 1).unicode() <= 32)
        --to;
    return text.mid(from, to - from);
}

QString ErrorText(const std::exception& e)
{
    if (const auto* own = dynamic_cast<const EOrvexaError*>(&e))
        return own->Message();
    return QString::fromLocal8Bit(e.what());
}
