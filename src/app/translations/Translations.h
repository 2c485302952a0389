#pragma once

#include <QLocale>
#include <QStringList>

class QCoreApplication;

namespace cleftone {

/// Installs the embedded translation that best matches `locale` into `app`, replacing the one a
/// previous call installed. Languages are tried in the locale's order of preference, each from
/// the most specific name down to the bare language (de_AT, then de); reaching English, the
/// language the texts are written in, stops the search. Returns whether a translation is now
/// installed; when none is, the texts stay in English. The translator is a child of `app` and
/// lives as long as it does.
///
/// Main thread only (the thread that owns `app`).
bool installApplicationTranslator(QCoreApplication& app, const QLocale& locale = QLocale());

/// The locale names of the embedded translations ("de", "fr"), sorted. Any thread.
QStringList availableTranslations();

} // namespace cleftone
