#pragma once

#include "../intake/QStringPrinter.h"

#include "app/CleftoneAppDelegate.h"
#include "engine/CleftoneOperation.h"
#include "errorlog/ErrorLogStore.h"
#include "errorlog/ErrorLogWindowController.h"
#include "intake/DroppedFilesParser.h"
#include "platform/FolderBookmark.h"
#include "platform/PreferenceKeys.h"
#include "platform/Preferences.h"
#include "ui/RecordingPlatformTools.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMainWindow>
#include <QMimeData>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

namespace cleftone::test {

/// Polls `done` for up to ten seconds without turning an event loop. Any thread.
inline bool pollFor(const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

/// Holds worker threads until opened; after ten seconds they go on and the timeout is noted.
struct Gate {
    std::atomic<int> arrivals{0};
    std::atomic<bool> open{false};
    std::atomic<bool> timedOut{false};

    void pass()
    {
        ++arrivals;
        if (!pollFor([this] { return open.load(); }))
            timedOut = true;
    }
};

/// A strip job that passes its gate first; without `strip` it then succeeds untouched. The
/// queue runs main() only for jobs not cancelled before they start.
struct GatedOperation : CleftoneOperation {
    GatedOperation(const QString& path, Gate& gate, bool strip = false,
                   StripEnvironment environment = StripEnvironment())
        : CleftoneOperation(path, std::move(environment)), gate(gate), strip(strip)
    {}
    void main() override
    {
        gate.pass();
        if (strip)
            CleftoneOperation::main();
    }
    Gate& gate;
    const bool strip;
};

inline QString fixture(const QString& name)
{
    return QStringLiteral(CLEFTONE_TEST_DATA_DIR "/audio/") + name;
}

inline QByteArray bytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// A main window with its own preferences, error log, scripted prompts and temporary folder. Its
/// video probe records every path, finds video in names containing "video" and holds the walker
/// at `gate` in names containing "gate".
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
        gate.open = true;
        delegate.reset();
        QCoreApplication::processEvents(); // drops the tasks the delegate posted
        EXPECT_FALSE(gate.timedOut);
    }

    CleftoneAppDelegate&
    makeDelegate(const std::function<void(AppDelegateEnvironment&)>& configure = {})
    {
        delegate.reset();
        AppDelegateEnvironment environment;
        environment.tools = &tools;
        environment.preferences = preferences.get();
        environment.errorLog = errorLog.get();
        environment.sandboxed = false;
        environment.automaticUpdateChecks = false;
        environment.hasVideoTrack = [this](const QString& path) {
            const QString name = QFileInfo(path).fileName();
            {
                std::lock_guard lock(probeLock);
                probed << path;
            }
            if (name.contains(QLatin1String("gate")))
                gate.pass();
            return name.contains(QLatin1String("video"));
        };
        if (configure)
            configure(environment);
        delegate = std::make_unique<CleftoneAppDelegate>(std::move(environment));
        QObject::connect(delegate.get(), &CleftoneAppDelegate::walkDidFinish, [this] { ++walks; });
        QObject::connect(delegate.get(), &CleftoneAppDelegate::runDidFinish, [this] { ++runs; });
        return *delegate;
    }

    /// With strip jobs that wait at `gate` and do no file work.
    CleftoneAppDelegate& makeHeldJobsDelegate()
    {
        return makeDelegate([this](AppDelegateEnvironment& environment) {
            environment.makeOperation = [this](const QString& path) {
                return std::make_shared<GatedOperation>(path, gate);
            };
        });
    }

    static bool waitFor(const std::function<bool()>& condition, int timeoutMs = 30000)
    {
        return QTest::qWaitFor(condition, timeoutMs);
    }

    /// Submits paths as the open-files request does and waits for the walk to end.
    bool walk(const QStringList& paths)
    {
        const int before = walks;
        delegate->applicationOpenFiles(paths);
        return waitFor([&] { return walks > before; });
    }

    bool runToEnd()
    {
        const int before = runs;
        delegate->stripButton()->click();
        return waitFor([&] { return runs > before; });
    }

    /// A one-byte file (and its folders) under the temporary folder.
    QString touch(const QString& relativePath)
    {
        const QString path = dir.filePath(relativePath);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write("x") == 1);
        return path;
    }

    QString copyFixture(const QString& name, const QString& as)
    {
        const QString target = dir.filePath(as);
        QDir().mkpath(QFileInfo(target).absolutePath());
        EXPECT_TRUE(QFile::copy(fixture(name), target)) << name.toStdString();
        QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner);
        return target;
    }

    QStringList listed() const { return delegate->operationsController()->arrangedObjects(); }
    QString header() const
    {
        return delegate->operationsController()->headerData(0, Qt::Horizontal).toString();
    }
    QStringList probedPaths()
    {
        std::lock_guard lock(probeLock);
        return probed;
    }

    QTemporaryDir dir;
    RecordingPlatformTools tools;
    std::unique_ptr<Preferences> preferences;
    ErrorLogStore store;
    std::unique_ptr<ErrorLogWindowController> errorLog;
    Gate gate;
    std::mutex probeLock;
    QStringList probed;
    int walks = 0;
    int runs = 0;
    // Last, so it goes first: its jobs and walker still use the members above.
    std::unique_ptr<CleftoneAppDelegate> delegate;
};

} // namespace cleftone::test
