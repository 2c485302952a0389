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

} // namespace

void showRunSummary(QMainWindow* window, PlatformTools& tools, ErrorLogWindowController& errorLog,
                    qint64 successful, qint64 failed, qint64 bytesRemoved)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (successful > 0) {
        // SI units, as the desktop's file manager shows sizes.
        const QString removed =
            QLocale().formattedDataSize(bytesRemoved, 1, QLocale::DataSizeSIFormat);
        window->statusBar()->showMessage(
            successful == 1
                //: Status line after a run. %1 is a size, such as "3.4 MB".
                ? summaryText(QT_TRANSLATE_NOOP("CleftoneAppDelegate",
                                                "Stripped 1 file, %1 of metadata removed."))
                      .arg(removed)
                //: Status line after a run. %1 is the number of files, %2 a size, such as
                //: "3.4 MB".
                : summaryText(QT_TRANSLATE_NOOP("CleftoneAppDelegate",
                                                "Stripped %1 files, %2 of metadata removed."))
                      .arg(successful)
                      .arg(removed),
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
