#include "intake/DropPaths.h"

#include "platform/PathBytes.h"

#include <QHash>
#include <QMimeData>
#include <QSysInfo>
#include <QUrl>
#include <QXmlStreamReader>

#include <optional>
#include <vector>

namespace cleftone {

namespace {

// A real music-library list nests four levels (plist, top dictionary, Tracks, track record); the
// limit only keeps a hostile document from running the recursive reader off the stack.
constexpr int kMaxNesting = 64;

/// One value of an XML property list. Scalars keep their element text undecoded: only strings
/// are ever used, and the rest is kept solely to walk past it with the right shape.
struct PlistValue {
    enum class Kind { Dictionary, Array, String, Integer, Real, Boolean, Date, Data };

    Kind kind = Kind::String;
    QString text;
    /// Dictionary keys in document order, parallel to `children`.
    QStringList keys;
    std::vector<PlistValue> children;

    const PlistValue* value(QStringView key) const
    {
        const qsizetype index = keys.indexOf(key);
        return index < 0 ? nullptr : &children[static_cast<size_t>(index)];
    }
};

/// Reads a whole XML property list into memory, or rejects it. Anything outside the property
/// list grammar (unknown elements, stray text, keys outside dictionaries) rejects the document,
/// as does any entity declaration: property lists never carry one, and refusing them up front
/// keeps entity expansion out of the picture altogether.
class PlistReader {
public:
    explicit PlistReader(const QByteArray& xml) : m_xml(xml) {}

    std::optional<PlistValue> read()
    {
        if (!advanceToRoot())
            return std::nullopt;
        PlistValue root;
        if (m_xml.name() == u"plist") {
            if (!nextTag() || !m_xml.isStartElement() || !readValue(root, 1))
                return std::nullopt;
            if (!nextTag() || !m_xml.isEndElement())
                return std::nullopt;
        } else if (!readValue(root, 1)) {
            return std::nullopt;
        }
        // A broken tail makes the whole document suspect, so it is read to the end too.
        while (!m_xml.atEnd())
            m_xml.readNext();
        if (m_xml.hasError())
            return std::nullopt;
        return root;
    }

private:
    /// Moves to the root element, passing over the prolog; false on a DTD that declares
    /// entities or on anything else out of place.
    bool advanceToRoot() { return nextTag(true) && m_xml.isStartElement(); }

    /// Moves to the next start or end tag, passing over whitespace, comments and processing
    /// instructions (and, before the root, the XML declaration and an entity-free DTD); false
    /// on anything else.
    bool nextTag(bool inProlog = false)
    {
        while (!m_xml.atEnd()) {
            switch (m_xml.readNext()) {
            case QXmlStreamReader::StartElement:
                return true;
            case QXmlStreamReader::EndElement:
                return !inProlog;
            case QXmlStreamReader::DTD:
                if (!inProlog || !m_xml.entityDeclarations().isEmpty() ||
                    m_xml.text().contains(QLatin1StringView("<!ENTITY")))
                    return false;
                break;
            case QXmlStreamReader::StartDocument:
                if (!inProlog)
                    return false;
                break;
            case QXmlStreamReader::Comment:
            case QXmlStreamReader::ProcessingInstruction:
                break;
            case QXmlStreamReader::Characters:
                if (!m_xml.isWhitespace())
                    return false;
                break;
            default:
                return false;
            }
        }
        return false;
    }

    /// The character content of the current element, up to its end tag. Child elements and
    /// unresolved entity references are errors.
    bool readText(QString& text)
    {
        while (!m_xml.atEnd()) {
            switch (m_xml.readNext()) {
            case QXmlStreamReader::Characters:
                text += m_xml.text();
                break;
            case QXmlStreamReader::Comment:
            case QXmlStreamReader::ProcessingInstruction:
                break;
            case QXmlStreamReader::EndElement:
                return true;
            default:
                return false;
            }
        }
        return false;
    }

    /// Reads the value whose start tag is the current token, through its end tag.
    bool readValue(PlistValue& value, int depth)
    {
        if (depth > kMaxNesting)
            return false;
        const QStringView name = m_xml.name();
        if (name == u"dict")
            return readDictionary(value, depth);
        if (name == u"array")
            return readArray(value, depth);

        using Kind = PlistValue::Kind;
        if (name == u"string")
            value.kind = Kind::String;
        else if (name == u"integer")
            value.kind = Kind::Integer;
        else if (name == u"real")
            value.kind = Kind::Real;
        else if (name == u"true" || name == u"false")
            value.kind = Kind::Boolean;
        else if (name == u"date")
            value.kind = Kind::Date;
        else if (name == u"data")
            value.kind = Kind::Data;
        else
            return false;
        if (value.kind == Kind::Boolean) {
            value.text = name.toString();
            QString ignored;
            return readText(ignored);
        }
        return readText(value.text);
    }

    bool readArray(PlistValue& value, int depth)
    {
        value.kind = PlistValue::Kind::Array;
        while (nextTag()) {
            if (m_xml.isEndElement())
                return true;
            PlistValue& child = value.children.emplace_back();
            if (!readValue(child, depth + 1))
                return false;
        }
        return false;
    }

    /// A repeated key keeps its first position and takes the last value, as a dictionary
    /// filled in document order would.
    bool readDictionary(PlistValue& value, int depth)
    {
        value.kind = PlistValue::Kind::Dictionary;
        QHash<QString, size_t> indexOfKey;
        while (nextTag()) {
            if (m_xml.isEndElement())
                return true;
            QString key;
            if (m_xml.name() != u"key" || !readText(key))
                return false;
            if (!nextTag() || !m_xml.isStartElement())
                return false;
            PlistValue child;
            if (!readValue(child, depth + 1))
                return false;
            const auto existing = indexOfKey.constFind(key);
            if (existing != indexOfKey.cend()) {
                value.children[*existing] = std::move(child);
            } else {
                indexOfKey.insert(key, value.children.size());
                value.keys.append(key);
                value.children.push_back(std::move(child));
            }
        }
        return false;
    }

    QXmlStreamReader m_xml;
};

bool namesThisHost(const QString& host)
{
    return host.isEmpty() ||
           host.compare(QLatin1StringView("localhost"), Qt::CaseInsensitive) == 0 ||
           host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) == 0;
}

/// The path of a file URL on this machine, percent-escapes decoded and without a trailing slash
/// (folder URLs often carry one, and the walker joins entry names onto the path as given).
/// Empty for anything else, including file URLs naming another host: those are not reachable
/// as local paths, and "//host/..." would quietly resolve to a local folder.
QString localPathOf(const QUrl& url)
{
    if (!url.isValid() || !url.isLocalFile() || !namesThisHost(url.host()))
        return {};
    QUrl withoutHost = url;
    withoutHost.setHost(QString());
    // The escapes are the file system's bytes, which need not be UTF-8 (toLocalFile() would
    // replace those that are not).
    QString path = pathFromBytes(
        QByteArray::fromPercentEncoding(withoutHost.path(QUrl::FullyEncoded).toLatin1()));
    if (!path.startsWith(u'/') || path.contains(QChar(u'\0')))
        return {};
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

} // namespace

QStringList dropTypes()
{
    return {QStringLiteral("text/uri-list"), QString::fromLatin1(kMusicLibraryPasteboardType)};
}

QStringList pathsFromMimeData(const QMimeData& data)
{
    if (data.hasUrls()) {
        QStringList paths;
        for (const QUrl& url : data.urls()) {
            const QString path = localPathOf(url);
            if (!path.isEmpty())
                paths.append(path);
        }
        return paths;
    }
    const QString musicLibraryType = QString::fromLatin1(kMusicLibraryPasteboardType);
    if (data.hasFormat(musicLibraryType))
        return pathsFromMusicLibraryPropertyList(data.data(musicLibraryType));
    return {};
}

QStringList pathsFromMusicLibraryPropertyList(const QByteArray& xml)
{
    const std::optional<PlistValue> root = PlistReader(xml).read();
    if (!root || root->kind != PlistValue::Kind::Dictionary)
        return {};
    const PlistValue* tracks = root->value(u"Tracks");
    if (!tracks ||
        (tracks->kind != PlistValue::Kind::Dictionary && tracks->kind != PlistValue::Kind::Array))
        return {};

    QStringList paths;
    paths.reserve(static_cast<qsizetype>(tracks->children.size()));
    for (const PlistValue& track : tracks->children) {
        if (track.kind != PlistValue::Kind::Dictionary)
            continue;
        const PlistValue* location = track.value(u"Location");
        if (!location || location->kind != PlistValue::Kind::String)
            continue;
        const QString path = localPathOf(QUrl(location->text, QUrl::StrictMode));
        if (!path.isEmpty())
            paths.append(path);
    }
    return paths;
}

} // namespace cleftone
