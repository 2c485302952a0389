#include "StripTestSupport.h"

#include "engine/LeftoverJournal.h"
#include "engine/ReplacementFolders.h"
#include "platform/PreferenceKeys.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <future>
#include <grp.h>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

namespace cleftone::test {

HookedService::HookedService()
{
    AudioFileService& system = AudioFileService::system();
#define CLEFTONE_FORWARD(call)                                                                     \
    ON_CALL(*this, call).WillByDefault([&system](auto... a) { return system.call(a...); })
    CLEFTONE_FORWARD(AudioFileOpenURL);
    CLEFTONE_FORWARD(AudioFileGetPropertyInfo);
    CLEFTONE_FORWARD(AudioFileGetProperty);
    CLEFTONE_FORWARD(AudioFileGetGlobalInfoSize);
    CLEFTONE_FORWARD(AudioFileGetGlobalInfo);
#undef CLEFTONE_FORWARD
    // Only the job's thread touches the set of outputs.
    ON_CALL(*this, AudioFileCreateWithURL).WillByDefault([this, &system](auto... a) {
        const OSStatus status = system.AudioFileCreateWithURL(a...);
        outputs_.insert(*std::get<4>(std::tie(a...)));
        return status;
    });
    ON_CALL(*this, AudioFileClose).WillByDefault([this, &system](AudioFileID file) {
        if (outputs_.erase(file) > 0 && beforeOutputClose)
            beforeOutputClose();
        return system.AudioFileClose(file);
    });
    ON_CALL(*this, AudioFileReadPacketData).WillByDefault([this, &system](auto... a) {
        const OSStatus status = system.AudioFileReadPacketData(a...);
        const int count = ++reads_;
        if (afterRead)
            afterRead(count);
        return status;
    });
    ON_CALL(*this, AudioFileSetProperty)
        .WillByDefault([this, &system](AudioFileID file, AudioFilePropertyID property,
                                       std::uint32_t size, const void* data) {
            QByteArray bytes(static_cast<const char*>(data), size);
            if (corruptSetup && property == AudioFileProperty::MagicCookieData && size > 0)
                bytes[size - 1] = char(bytes[size - 1] ^ 1);
            return system.AudioFileSetProperty(file, property, std::uint32_t(bytes.size()),
                                               bytes.constData());
        });
    ON_CALL(*this, AudioFileWritePackets)
        .WillByDefault([this, &system](AudioFileID file, bool cache, std::uint32_t size,
                                       const AudioStreamPacketDescription* descriptions,
                                       std::int64_t start, std::uint32_t* count, const void* data) {
            QByteArray bytes(static_cast<const char*>(data), size);
            if (++writes_ == corruptWrite && size > 0)
                bytes[size / 2] = char(bytes[size / 2] ^ 0x10);
            return system.AudioFileWritePackets(file, cache, size, descriptions, start, count,
                                                bytes.constData());
        });
}

bool makeTaggedWav(const QString& path, int seconds)
{
    return runTool("ffmpeg",
                   {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                    QStringLiteral("sine=frequency=440:duration=%1").arg(seconds), "-ar", "44100",
                    "-ac", "2", "-c:a", "pcm_s16le", "-metadata", "title=CleftoneTag", path})
               .exitCode == 0;
}

ScopedMount::ScopedMount(const QString& directory, const QList<QStringList>& commands)
    : directory_(directory)
{
    for (const QStringList& command : commands) {
        if (!run(command))
            return;
    }
}

ScopedMount::~ScopedMount()
{
    // Detaching also unmounts a FUSE mount, as root; fusermount does it for other users.
    if (::umount2(QFile::encodeName(directory_).constData(), MNT_DETACH) != 0)
        runTool("fusermount", {"-u", "-z", directory_});
}

bool ScopedMount::run(const QStringList& command)
{
    const ToolRun result = runTool(command.first(), command.mid(1));
    if (result.exitCode != 0 && ok())
        error_ = "cannot " + command.join(' ').toStdString() +
                 " here (root and FUSE needed): " + result.err.trimmed().toStdString();
    return ok();
}

QList<QStringList> ScopedMount::tmpfs(const QString& directory, const QString& options)
{
    return {{"mount", "-t", "tmpfs", "-o", options, "tmpfs", directory}};
}

QList<QStringList> ScopedMount::fat(const QString& image, const QString& directory)
{
    return {{"truncate", "-s", "32M", image},
            {"mkfs.vfat", image},
            {"fusefat", "-o", "rw+", image, directory}};
}

QStringList StripJobTest::childArguments(const QString& input, const QStringList& options) const
{
    return QStringList{"--strip-child", tempPath("child-journal"), tempPath("settings.conf"),
                       input} +
           options;
}

namespace {

// The child mode, which strips one file; -1 when `argv` asks for no child.
int childMain(int argc, char** argv)
{
    if (argc < 5 || std::strcmp(argv[1], "--strip-child") != 0)
        return -1;
    const QByteArray option = argc > 5 ? argv[5] : "";
    const int killAt = argc > 6 ? std::atoi(argv[6]) : 0;
    if (option == "--as-nobody" &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
        std::perror("dropping root");
        return 3;
    }
    QCoreApplication app(argc, argv);
    setLeftoverJournalDirectory(QFile::decodeName(argv[2]));
    Preferences preferences(QFile::decodeName(argv[3]));

    HookedService service;
    QElapsedTimer tail; // from the last packet written to the end
    if (option == "--kill-after-read") {
        service.afterRead = [killAt](int reads) {
            if (reads == killAt)
                ::kill(::getpid(), SIGKILL);
        };
    }
    service.beforeOutputClose = [&tail, killAt, kill = option == "--kill-after-copied"] {
        tail.start();
        if (kill)
            std::thread([killAt] {
                std::this_thread::sleep_for(std::chrono::milliseconds(killAt));
                ::kill(::getpid(), SIGKILL);
            }).detach();
    };
    // The parent waits for the whole group: a killed job's repair tool finishes on its own.
    if (option.startsWith("--kill")) {
        ::setpgid(0, 0);
        std::printf("pid:%d\n", int(::getpid()));
        std::fflush(stdout);
    }
    // As a run of the window or the command-line tool: folders shared, flushed at the end.
    StripEnvironment environment;
    environment.service = &service;
    environment.sandboxed = false;
    environment.replacementFolders = std::make_shared<ReplacementFolders>();
    QStringList errors;
    environment.logError = [&errors](const QString& line) {
        errors << line;
    };
    auto job = std::make_shared<CleftoneOperation>(QFile::decodeName(argv[4]), environment);
    job->setDefaultsOverride(&preferences);
    job->start();
    environment.replacementFolders->finish();
    for (const QString& line : errors)
        std::printf("error:%s\n", line.toUtf8().constData());
    std::printf("success:%d\n", job->success() ? 1 : 0);
    if (option.startsWith("--kill"))
        std::printf("reads:%d tail:%lld\n", service.reads(), tail.elapsed());
    return 0;
}

} // namespace

void StripJobTest::SetUp()
{
    RoundTrip::SetUp();
    preferences = std::make_unique<Preferences>(tempPath("settings.conf"));
    setDestination(QString::fromLatin1(kOverwriteExistingFile));
}

QString StripJobTest::place(const QString& fixtureName, const QString& folder, const QString& name,
                            mode_t mode)
{
    const QString path =
        folder + QLatin1Char('/') + (name.isEmpty() ? QFileInfo(fixtureName).fileName() : name);
    EXPECT_TRUE(QFile::exists(fixture(fixtureName))) << fixtureName.toStdString();
    writeFile(path, readAll(fixture(fixtureName)), mode);
    return path;
}

void StripJobTest::setDestination(const QString& value)
{
    preferences->setValue(QString::fromLatin1(kDestinationDirectoryKey), value);
}

StripEnvironment StripJobTest::environment(bool sandboxed, AudioFileService* service)
{
    StripEnvironment environment;
    environment.service = service;
    environment.sandboxed = sandboxed;
    environment.logError = [this](const QString& line) {
        std::lock_guard lock(logMutex);
        logged << line;
    };
    return environment;
}

StripJobTest::Outcome StripJobTest::strip(const QString& input, const StripEnvironment& environment,
                                          const std::function<void(CleftoneOperation&)>& prepare)
{
    {
        std::lock_guard lock(logMutex);
        logged.clear();
    }
    auto job = std::make_shared<CleftoneOperation>(input, environment);
    job->setDefaultsOverride(preferences.get());
    if (prepare)
        prepare(*job);
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    job->setCompletionBlock([done] { done->set_value(); });
    queue.addOperation(job);

    Outcome outcome;
    outcome.finished = finished.wait_for(std::chrono::minutes(2)) == std::future_status::ready;
    outcome.success = job->success();
    outcome.leftUntouched = job->leftUntouched();
    outcome.outFilePath = job->outFilePath();
    outcome.tempFilePath = job->tempFilePath();
    std::lock_guard lock(logMutex);
    outcome.errors = logged;
    return outcome;
}

void StripJobTest::expectFailed(const Outcome& outcome, const QString& line)
{
    EXPECT_TRUE(outcome.finished);
    EXPECT_FALSE(outcome.success);
    EXPECT_EQ(outcome.errors, QStringList{line});
    EXPECT_EQ(namesIn(leftoverJournalDirectory()), QStringList());
}

void StripJobTest::expectStripped(const Outcome& outcome, const QString& in, const QString& ref,
                                  bool tagged)
{
    EXPECT_TRUE(outcome.finished);
    EXPECT_TRUE(outcome.success);
    EXPECT_EQ(outcome.errors, QStringList());
    RoundTrip::expectStripped(in, outcome.outFilePath, ref, tagged);
}

} // namespace cleftone::test

int main(int argc, char** argv)
{
    // The crash and system-call tests run this binary again to strip one file.
    if (const int status = cleftone::test::childMain(argc, argv); status >= 0)
        return status;
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // Keep the user's own journal out of the tests.
    QTemporaryDir journal;
    cleftone::setLeftoverJournalDirectory(journal.filePath(QStringLiteral("journal")));
    return RUN_ALL_TESTS();
}
