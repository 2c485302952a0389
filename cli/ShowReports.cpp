#include "ShowReports.h"

#include "engine/audiofile/MetadataInspection.h"
#include "platform/PathBytes.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace cleftone {

namespace {

constexpr char kUnreadable[] = "This file is not an audio file that Cleftone can read.";

QString text(const std::string& value)
{
    return QString::fromStdString(value);
}

QJsonValue bytesValue(std::int64_t bytes)
{
    return bytes < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(qint64(bytes));
}

void printLine(FILE* out, const QString& line)
{
    // One line whatever the path holds: bytes that are not UTF-8, and a newline in a name, show
    // as U+FFFD.
    std::fputs(displayPath(line).toUtf8().constData(), out);
    std::fputc('\n', out);
}

} // namespace

QString jsonPathText(const QString& path, bool* escaped)
{
    // Bytes that are not UTF-8 travel in the path as lone surrogates (platform/PathBytes.h).
    *escaped = std::any_of(path.cbegin(), path.cend(),
                           [](QChar c) { return c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF; });
    if (!*escaped)
        return path;
    QString result;
    for (const QChar c : path) {
        if (c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF)
            // The escaped bytes are 0x80 to 0xFF: always two digits.
            result += QLatin1String("\\x") + QString::number(c.unicode() - 0xDC00, 16).toUpper();
        else if (c == QLatin1Char('\\'))
            result += QLatin1String("\\\\");
        else
            result += c;
    }
    return result;
}

QJsonObject reportObject(const QString& path, const MetadataReport& report)
{
    QJsonObject object;
    bool escaped = false;
    object.insert(QStringLiteral("path"), jsonPathText(path, &escaped));
    if (escaped)
        object.insert(QStringLiteral("pathEscaped"), true);
    object.insert(QStringLiteral("readable"), report.readable);
    if (!report.readable)
        object.insert(QStringLiteral("error"), QString::fromLatin1(kUnreadable));
    object.insert(QStringLiteral("container"), text(report.container));
    object.insert(QStringLiteral("codec"), text(report.codec));

    QJsonArray tags;
    for (const MetadataTag& tag : report.tags)
        tags.append(QJsonObject{{QStringLiteral("key"), text(tag.key)},
                                {QStringLiteral("value"), text(tag.value)}});
    object.insert(QStringLiteral("tags"), tags);

    QJsonArray pictures;
    for (const MetadataPicture& picture : report.pictures)
        pictures.append(QJsonObject{{QStringLiteral("mimeType"), text(picture.mimeType)},
                                    {QStringLiteral("format"), text(picture.format)},
                                    {QStringLiteral("description"), text(picture.description)},
                                    {QStringLiteral("bytes"), qint64(picture.bytes)},
                                    {QStringLiteral("width"), picture.width},
                                    {QStringLiteral("height"), picture.height}});
    object.insert(QStringLiteral("pictures"), pictures);

    QJsonArray chapters;
    for (const MetadataChapter& chapter : report.chapters)
        chapters.append(QJsonObject{{QStringLiteral("start"), chapter.start},
                                    {QStringLiteral("title"), text(chapter.title)}});
    object.insert(QStringLiteral("chapters"), chapters);

    const auto blockArray = [](const std::vector<MetadataBlock>& list) {
        QJsonArray blocks;
        for (const MetadataBlock& block : list)
            blocks.append(QJsonObject{{QStringLiteral("kind"), text(block.kind)},
                                      {QStringLiteral("name"), text(block.name)},
                                      {QStringLiteral("bytes"), bytesValue(block.bytes)}});
        return blocks;
    };
    object.insert(QStringLiteral("blocks"), blockArray(report.blocks));
    object.insert(QStringLiteral("metadataBytes"), qint64(report.metadataBytes));
    object.insert(QStringLiteral("kept"), blockArray(report.kept));
    return object;
}

bool showReports(const QStringList& files, bool json, FILE* out)
{
    bool allRead = true;
    QJsonArray objects;
    for (const QString& file : files) {
        const MetadataReport report = inspectMetadata(pathBytes(file).toStdString());
        allRead = allRead && report.readable;
        if (json) {
            objects.append(reportObject(file, report));
            continue;
        }
        printLine(out, file);
        if (!report.readable) {
            printLine(out, QStringLiteral("  ") + QLatin1String(kUnreadable));
            continue;
        }
        std::vector<std::string> lines = reportLines(report);
        if (lines.empty())
            lines.push_back("No metadata");
        for (std::string& line : keptLines(report))
            lines.push_back(std::move(line));
        for (const std::string& line : lines)
            printLine(out, QStringLiteral("  ") + text(line));
        std::fflush(out);
    }
    if (json) {
        std::fputs(QJsonDocument(objects).toJson(QJsonDocument::Indented).constData(), out);
        std::fflush(out);
    }
    return allRead;
}

} // namespace cleftone
