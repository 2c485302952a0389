#include "Translations.h"

#include <QCoreApplication>
#include <QDir>
#include <QThread>
#include <QTranslator>

// Q_INIT_RESOURCE declares a global function, so it cannot appear inside the namespace.
static void initTranslationResources()
{
    Q_INIT_RESOURCE(cleftone_translations_qm);
}

namespace cleftone {

namespace {

const QString kResourceDir = QStringLiteral(":/i18n");
const QString kFilePrefix = QStringLiteral("cleftone_");
const QString kFileSuffix = QStringLiteral(".qm");
const QString kTranslatorName = QStringLiteral("cleftone_translator");

// "de-AT" -> {"de_AT", "de"}; "zh-Hant-TW" -> {"zh_Hant_TW", "zh_Hant", "zh"}.
QStringList candidateNames(const QString& uiLanguage)
{
    QString name = uiLanguage;
    name.replace(QLatin1Char('-'), QLatin1Char('_'));
    QStringList names;
    while (!name.isEmpty()) {
        names.append(name);
        const qsizetype cut = name.lastIndexOf(QLatin1Char('_'));
        if (cut < 0)
            break;
        name.truncate(cut);
    }
    return names;
}

QString pickTranslation(const QLocale& locale, const QStringList& available)
{
    for (const QString& uiLanguage : locale.uiLanguages()) {
        const QStringList names = candidateNames(uiLanguage);
        if (names.isEmpty())
            continue;
        // Someone who prefers English over their later choices should get the original texts.
        if (QLocale(names.last()).language() == QLocale::English)
            return {};
        for (const QString& name : names) {
            if (available.contains(name))
                return name;
        }
    }
    return {};
}

void removeInstalledTranslator(QCoreApplication& app)
{
    const auto previous =
        app.findChildren<QTranslator*>(kTranslatorName, Qt::FindDirectChildrenOnly);
    for (QTranslator* translator : previous) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
}

} // namespace

QStringList availableTranslations()
{
    initTranslationResources();
    const QStringList files =
        QDir(kResourceDir)
            .entryList({kFilePrefix + QLatin1Char('*') + kFileSuffix}, QDir::Files, QDir::Name);
    QStringList names;
    names.reserve(files.size());
    for (const QString& file : files)
        names.append(file.chopped(kFileSuffix.size()).sliced(kFilePrefix.size()));
    return names;
}

bool installApplicationTranslator(QCoreApplication& app, const QLocale& locale)
{
    Q_ASSERT(QThread::currentThread() == app.thread());
    removeInstalledTranslator(app);

    const QString name = pickTranslation(locale, availableTranslations());
    if (name.isEmpty())
        return false;

    auto* translator = new QTranslator(&app);
    translator->setObjectName(kTranslatorName);
    if (!translator->load(kResourceDir + QLatin1Char('/') + kFilePrefix + name + kFileSuffix) ||
        !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return false;
    }
    return true;
}

} // namespace cleftone
