#include "app/RunSummary.h"

#include "errorlog/ErrorLogWindowController.h"
#include "platform/MainThread.h"
#include "ui/PlatformTools.h"

#include <QCoreApplication>
#include <QLocale>
#include <QMainWindow>
#include <QStatusBar>

namespace cleftone {

namespace {

constexpr int kStatusMessageMs = 8000;

/// The run summary's texts are the only ones looked up in the translations; the call sites
/// mark them for lupdate. Their context is the window's delegate, which showed them first, so
/// the shipped translations keep matching.
QString summaryText(const char* text)
{
    return QCoreApplication::translate("CleftoneAppDelegate", text);
}

// "Stripped 12 files, 3.4 MB of metadata removed.", with "; 960 already clean" before the
// full stop when the run left clean files alone.
QString strippedText(qint64 stripped, qint64 clean, const QString& removed)
{
    if (clean == 0)
        return stripped == 1
                   //: Status line after a run. %1 is a size, such as "3.4 MB".
                   ? summaryText(QT_TRANSLATE_NOOP("CleftoneAppDelegate",
                                                   "Stripped 1 file, %1 of metadata removed."))
                         .arg(removed)
                   //: Status line after a run. %1 is the number of files, %2 a size, such as
                   //: "3.4 MB".
                   : summaryText(QT_TRANSLATE_NOOP("CleftoneAppDelegate",
                                                   "Stripped %1 files, %2 of metadata removed."))
                         .arg(stripped)
                         .arg(removed);
    if (stripped == 0)
        //: Status line after a run that left every file alone: none carried metadata. %1 is
        //: the number of files.
        return summaryText(QT_TRANSLATE_NOOP("CleftoneAppDelegate",
                                             "No metadata to remove; %1 already clean."))
            .arg(clean);
    return stripped == 1
               //: Status line after a run. %1 is a size, such as "3.4 MB"; %2 the number of
               //: files that carried no metadata and were left as they were.
               ? summaryText(QT_TRANSLATE_NOOP(
                                 "CleftoneAppDelegate",
                                 "Stripped 1 file, %1 of metadata removed; %2 already clean."))
                     .arg(removed)
                     .arg(clean)
               //: Status line after a run. %1 is the number of files, %2 a size, such as
               //: "3.4 MB"; %3 the number of files that carried no metadata and were left as
               //: they were.
               : summaryText(QT_TRANSLATE_NOOP(
                                 "CleftoneAppDelegate",
                                 "Stripped %1 files, %2 of metadata removed; %3 already clean."))
                     .arg(stripped)
                     .arg(removed)
                     .arg(clean);
}

} // namespace

void showRunSummary(QMainWindow* window, PlatformTools& tools, ErrorLogWindowController& errorLog,
                    const RunCounts& counts)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    const qint64 successful = counts.successful;
    const qint64 failed = counts.failed;
    if (successful > 0) {
        // SI units, as the desktop's file manager shows sizes.
        const QString removed =
            QLocale().formattedDataSize(counts.bytesRemoved, 1, QLocale::DataSizeSIFormat);
        window->statusBar()->showMessage(
            strippedText(successful - counts.alreadyClean, counts.alreadyClean, removed),
            kStatusMessageMs);
    }

    if (failed > 0) {
        AlertSpec spec;
        spec.messageText =
            //: Run summary, shown when some files could not be stripped. %1 is the number of files
            //: that failed, %2 the number of files in the run.
            summaryText(QT_TRANSLATE_NOOP("CleftoneAppDelegate", "Failed To Strip %1 of %2 Files."))
                .arg(failed)
                .arg(failed + successful);
        spec.buttonTitles = {summaryText(QT_TRANSLATE_NOOP("CleftoneAppDelegate", "OK")),
                             summaryText(QT_TRANSLATE_NOOP("CleftoneAppDelegate", "Show Report"))};
        spec.defaultButton = 0;
        tools.beginSheet(window, spec, [&errorLog](int button, bool) {
            if (button == 1)
                errorLog.showWindow();
        });
    }
}

} // namespace cleftone
