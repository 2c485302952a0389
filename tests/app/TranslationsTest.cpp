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

QString translated(const QString& key, const QString& context = "CleftoneAppDelegate")
{
    return QCoreApplication::translate(context.toUtf8().constData(), key.toUtf8().constData());
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

// A translator left behind would show in the English row that follows a translated one.
TEST(TranslationsTest, LocalesPickTheirLanguageOrFallBackToEnglish)
{
    QCoreApplication& app = *QCoreApplication::instance();
    for (const auto& [locale, showReport] : {std::pair{"de_AT", "Bericht anzeigen"},
                                             {"ja_JP", nullptr},
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
}

// The texts are looked up without disambiguation, so every .ts must be complete without one.
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
        QString context;
        QString source;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == u"name") {
                context = xml.readElementText();
            } else if (xml.name() == u"source") {
                source = xml.readElementText();
            } else if (xml.name() == u"comment") {
                ADD_FAILURE() << "disambiguation for " << source.toStdString();
            } else if (xml.name() == u"translation") {
                SCOPED_TRACE(source.toStdString());
                EXPECT_EQ(xml.attributes().value(QLatin1String("type")), QString());
                const QString translation = xml.readElementText();
                EXPECT_FALSE(translation.isEmpty());
                EXPECT_EQ(placeholders(translation), placeholders(source));
                EXPECT_EQ(translated(source, context), translation);
            }
        }
        EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    }
    installApplicationTranslator(*QCoreApplication::instance(), QLocale(QLocale::English));
}
