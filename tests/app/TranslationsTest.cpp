#include "app/translations/Translations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTranslator>
#include <QXmlStreamReader>
#include <gtest/gtest.h>

#include <ostream>

// Readable failure messages for QString and QStringList comparisons.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

using cleftone::availableTranslations;
using cleftone::installApplicationTranslator;

namespace {

constexpr const char* kContext = "CleftoneAppDelegate";
constexpr const char* kFailed = "Failed To Strip %1 of %2 Files.";

QString translated(const char* key)
{
    return QCoreApplication::translate(kContext, key);
}

QString summary(int failed, int total)
{
    return translated(kFailed).arg(failed).arg(total);
}

struct TsMessage {
    QString source;
    QString translation;
    QString translationType; // "unfinished", "vanished", "obsolete" or empty
    bool hasDisambiguation = false;
};

QList<TsMessage> readTsFile(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    QList<TsMessage> messages;
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == u"message") {
            messages.append(TsMessage{});
        } else if (messages.isEmpty()) {
            continue;
        } else if (xml.name() == u"source") {
            messages.last().source = xml.readElementText();
        } else if (xml.name() == u"comment") {
            messages.last().hasDisambiguation = true;
        } else if (xml.name() == u"translation") {
            messages.last().translationType =
                xml.attributes().value(QLatin1String("type")).toString();
            messages.last().translation = xml.readElementText();
        }
    }
    EXPECT_FALSE(xml.hasError()) << path.toStdString() << ": " << xml.errorString().toStdString();
    return messages;
}

QStringList placeholders(const QString& text)
{
    QStringList found;
    for (const auto& match : QRegularExpression(QStringLiteral("%\\d+")).globalMatch(text))
        found.append(match.captured());
    found.sort();
    return found;
}

class TranslationsTest : public ::testing::Test {
protected:
    // Each test starts and ends in English, whatever the one before it installed.
    void SetUp() override { removeAll(); }
    void TearDown() override { removeAll(); }

    static QCoreApplication& app() { return *QCoreApplication::instance(); }

    static void removeAll()
    {
        for (QTranslator* translator : app().findChildren<QTranslator*>()) {
            QCoreApplication::removeTranslator(translator);
            delete translator;
        }
    }
};

} // namespace

TEST_F(TranslationsTest, GermanAndFrenchFillInTheCounts)
{
    ASSERT_TRUE(installApplicationTranslator(app(), QLocale(QStringLiteral("de_DE"))));
    EXPECT_EQ(summary(2, 5),
              QStringLiteral("Bei 2 von 5 Dateien konnten die Metadaten nicht entfernt werden."));
    EXPECT_EQ(translated("Show Report"), QStringLiteral("Bericht anzeigen"));

    // A second call replaces the first language rather than stacking on top of it.
    ASSERT_TRUE(installApplicationTranslator(app(), QLocale(QStringLiteral("fr_FR"))));
    EXPECT_EQ(summary(2, 5),
              QString::fromUtf8("Échec de la suppression des métadonnées pour 2 des 5 fichiers."));
    EXPECT_EQ(translated("Show Report"), QStringLiteral("Afficher le rapport"));
    EXPECT_EQ(app().findChildren<QTranslator*>().size(), 1);
}

TEST_F(TranslationsTest, RegionalLocalesFallBackToTheLanguage)
{
    for (const char* name : {"de_AT", "de_CH", "de"}) {
        ASSERT_TRUE(installApplicationTranslator(app(), QLocale(QString::fromLatin1(name))))
            << name;
        EXPECT_EQ(translated("Show Report"), QStringLiteral("Bericht anzeigen")) << name;
    }
    ASSERT_TRUE(installApplicationTranslator(app(), QLocale(QStringLiteral("fr_CA"))));
    EXPECT_EQ(translated("Show Report"), QStringLiteral("Afficher le rapport"));
}

TEST_F(TranslationsTest, UntranslatedLanguagesShowTheEnglishTexts)
{
    for (const char* name : {"ja_JP", "en_US", "en_GB", "C"}) {
        // Start from German so a stale translator left behind would show.
        ASSERT_TRUE(installApplicationTranslator(app(), QLocale(QStringLiteral("de_DE"))));
        EXPECT_FALSE(installApplicationTranslator(app(), QLocale(QString::fromLatin1(name))))
            << name;
        EXPECT_EQ(summary(1, 3), QStringLiteral("Failed To Strip 1 of 3 Files.")) << name;
        EXPECT_EQ(translated("Show Report"), QStringLiteral("Show Report")) << name;
        EXPECT_TRUE(app().findChildren<QTranslator*>().isEmpty()) << name;
    }
}

// Every .ts in the source tree is embedded, complete, keeps the placeholders, and what the
// application looks up at run time is exactly what the file says.
TEST_F(TranslationsTest, EveryShippedTranslationIsCompleteAndEmbedded)
{
    const QDir dir(QStringLiteral(CLEFTONE_TRANSLATIONS_SOURCE_DIR));
    QStringList languages;
    for (const QString& file :
         dir.entryList({QStringLiteral("cleftone_*.ts")}, QDir::Files, QDir::Name))
        languages.append(file.chopped(3).sliced(qstrlen("cleftone_")));
    ASSERT_TRUE(languages.contains(QStringLiteral("de")));
    EXPECT_EQ(availableTranslations(), languages);

    for (const QString& language : languages) {
        SCOPED_TRACE(language.toStdString());
        const QList<TsMessage> messages =
            readTsFile(dir.filePath(QStringLiteral("cleftone_%1.ts").arg(language)));
        QStringList sources;
        for (const TsMessage& message : messages)
            sources.append(message.source);
        sources.sort();
        EXPECT_EQ(sources, QStringList({QString::fromLatin1(kFailed), QStringLiteral("OK"),
                                        QStringLiteral("Show Report")}));

        ASSERT_TRUE(installApplicationTranslator(app(), QLocale(language)));
        for (const TsMessage& message : messages) {
            SCOPED_TRACE(message.source.toStdString());
            EXPECT_EQ(message.translationType, QString());
            EXPECT_FALSE(message.translation.isEmpty());
            // The application looks the texts up without a disambiguation.
            EXPECT_FALSE(message.hasDisambiguation);
            EXPECT_EQ(placeholders(message.translation), placeholders(message.source));
            EXPECT_EQ(translated(message.source.toUtf8().constData()), message.translation);
        }
    }
}
