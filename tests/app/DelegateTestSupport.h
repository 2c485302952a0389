#pragma once

#include "app/CleftoneAppDelegate.h"
#include "errorlog/ErrorLogStore.h"
#include "errorlog/ErrorLogWindowController.h"
#include "platform/BuildConfig.h"
#include "platform/Preferences.h"
#include "ui/RecordingPlatformTools.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

namespace cleftone::test {

/// A main window with its own preferences file, error log, scripted prompts and temporary
/// folder, so that no test touches the user's settings or shows a real dialog.
class DelegateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        preferences = std::make_unique<Preferences>(dir.filePath(QStringLiteral("prefs.ini")));
        errorLog = std::make_unique<ErrorLogWindowController>(store, tools);
    }

    void TearDown() override
    {
        delegate.reset();
        // Tasks the delegate posted are dropped with it; let the loop forget them.
        QCoreApplication::processEvents();
    }

    /// Builds the delegate; `configure` may adjust the environment first.
    CleftoneAppDelegate&
    makeDelegate(const std::function<void(AppDelegateEnvironment&)>& configure = {})
    {
        AppDelegateEnvironment environment;
        environment.tools = &tools;
        environment.preferences = preferences.get();
        environment.errorLog = errorLog.get();
        environment.sandboxed = false;
        environment.automaticUpdateChecks = false;
        environment.showSettings = [this] {
            ++settingsShown;
        };
        if (configure)
            configure(environment);
        delegate = std::make_unique<CleftoneAppDelegate>(std::move(environment));
        return *delegate;
    }

    /// Spins the event loop until `condition` holds or `timeoutMs` passes.
    static bool waitFor(const std::function<bool()>& condition, int timeoutMs = 10000)
    {
        return QTest::qWaitFor(condition, timeoutMs);
    }

    /// Submits paths as the open-files request does and waits for the walk to end.
    bool walk(const QStringList& paths, int timeoutMs = 10000)
    {
        bool finished = false;
        const auto connection = QObject::connect(
            delegate.get(), &CleftoneAppDelegate::walkDidFinish, [&finished] { finished = true; });
        delegate->applicationOpenFiles(paths);
        const bool ok = waitFor([&] { return finished; }, timeoutMs);
        QObject::disconnect(connection);
        return ok;
    }

    /// Presses Strip and waits for the run to end.
    bool runToEnd(int timeoutMs = 30000)
    {
        bool finished = false;
        const auto connection = QObject::connect(delegate.get(), &CleftoneAppDelegate::runDidFinish,
                                                 [&finished] { finished = true; });
        delegate->stripButtonPressed();
        const bool ok = waitFor([&] { return finished; }, timeoutMs);
        QObject::disconnect(connection);
        return ok;
    }

    /// Creates a file (and its folders) under the temporary folder; returns its path.
    QString touch(const QString& relativePath, const QByteArray& contents = QByteArray("x"))
    {
        const QString path = dir.filePath(relativePath);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(contents);
        return path;
    }

    QTemporaryDir dir;
    RecordingPlatformTools tools;
    std::unique_ptr<Preferences> preferences;
    ErrorLogStore store;
    std::unique_ptr<ErrorLogWindowController> errorLog;
    std::unique_ptr<CleftoneAppDelegate> delegate;
    int settingsShown = 0;
};

} // namespace cleftone::test
