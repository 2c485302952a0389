#include "app/translations/Translations.h"

#include "../intake/QStringPrinter.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QTranslator>
#include <QXmlStreamReader>
#include <gtest/gtest.h>

using cleftone::installApplicationTranslator;

namespace {

constexpr const char* kFailed = "Failed To Strip %1 of %2 Files.";

QString translated(const QString& key)
{
    return QCoreApplication::translate("CleftoneAppDelegate", key.toUtf8().constData());
}

QStringList placeholders(const QString& text)
{
    QStringList found;
    for (const auto& match : QRegularExpression(QStringLiteral("%\\d+")).globalMatch(text))
        found.append(match.captured());
    found.sort();
    return found;
}

} // namespace

// Each call replaces the language before it; English stops the search. Every English case
// follows a translated one, so a translator left behind would show.
TEST(TranslationsTest, LocalesPickTheirLanguageOrFallBackToEnglish)
{
    QCoreApplication& app = *QCoreApplication::instance();
    for (const auto& [locale, showReport] : {std::pair{"de_DE", "Bericht anzeigen"},
                                             {"fr_FR", "Afficher le rapport"},
                                             {"ja_JP", nullptr},
                                             {"de_AT", "Bericht anzeigen"},
                                             {"en_US", nullptr},
                                             {"de_CH", "Bericht anzeigen"},
                                             {"en_GB", nullptr},
                                             {"de", "Bericht anzeigen"},
                                             {"C", nullptr},
                                             {"fr_CA", "Afficher le rapport"}}) {
        SCOPED_TRACE(locale);
        EXPECT_EQ(installApplicationTranslator(app, QLocale(QString::fromLatin1(locale))),
                  showReport != nullptr);
        EXPECT_EQ(translated("Show Report"),
                  QString::fromUtf8(showReport ? showReport : "Show Report"));
        EXPECT_EQ(app.findChildren<QTranslator*>().size(), showReport ? 1 : 0);
    }
    EXPECT_EQ(translated(kFailed).arg(2).arg(5),
              QString::fromUtf8("Échec de la suppression des métadonnées pour 2 des 5 fichiers."));
    installApplicationTranslator(app, QLocale(QLocale::English));
    EXPECT_EQ(translated(kFailed).arg(1).arg(3), "Failed To Strip 1 of 3 Files.");
}

// Every .ts in the source tree is embedded and complete: finished, current messages without a
// disambiguation (the application looks the texts up without one), the placeholders kept.
TEST(TranslationsTest, EveryShippedTranslationIsCompleteAndEmbedded)
{
    const QDir dir(QStringLiteral(CLEFTONE_TRANSLATIONS_SOURCE_DIR));
    QStringList languages;
    for (const QString& file : dir.entryList({"cleftone_*.ts"}, QDir::Files, QDir::Name))
        languages.append(file.chopped(3).sliced(qstrlen("cleftone_")));
    ASSERT_TRUE(languages.contains("de"));
    EXPECT_EQ(cleftone::availableTranslations(), languages);

    for (const QString& language : languages) {
        SCOPED_TRACE(language.toStdString());
        ASSERT_TRUE(installApplicationTranslator(*QCoreApplication::instance(), QLocale(language)));
        QFile file(dir.filePath("cleftone_" + language + ".ts"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        QString source;
        QStringList sources;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == u"source") {
                sources << (source = xml.readElementText());
            } else if (xml.name() == u"comment") {
                ADD_FAILURE() << "disambiguation for " << source.toStdString();
            } else if (xml.name() == u"translation") {
                SCOPED_TRACE(source.toStdString());
                EXPECT_EQ(xml.attributes().value(QLatin1String("type")), QString());
                const QString translation = xml.readElementText();
                EXPECT_FALSE(translation.isEmpty());
                EXPECT_EQ(placeholders(translation), placeholders(source));
                EXPECT_EQ(translated(source), translation);
            }
        }
        EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
        sources.sort();
        EXPECT_EQ(sources, QStringList({QString::fromLatin1(kFailed), "OK", "Show Report",
                                        "Stripped %1 files, %2 of metadata removed.",
                                        "Stripped 1 file, %1 of metadata removed."}));
    }
    installApplicationTranslator(*QCoreApplication::instance(), QLocale(QLocale::English));
}
