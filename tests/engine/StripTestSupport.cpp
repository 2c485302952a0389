#include "StripTestSupport.h"

#include "engine/LeftoverJournal.h"
#include "engine/ReplacementFolders.h"
#include "platform/PreferenceKeys.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <grp.h>
#include <sys/mount.h>
#include <tuple>
#include <unistd.h>

namespace cleftone::test {

bool copyFile(const QString& from, const QString& to, mode_t mode)
{
    QFile::remove(to);
    return QFile::copy(from, to) && ::chmod(QFile::encodeName(to).constData(), mode) == 0;
}

QString temporaryNamesIn(const QString& directory)
{
    QStringList found;
    for (const QString& name : namesIn(directory)) {
        if (name.startsWith("cleftone.") || name.startsWith(".cleftone-replace-") ||
            name.contains("_NoTag"))
            found << name;
    }
    return found.join(QLatin1Char(' '));
}

HookedService::HookedService()
{
    AudioFileService& system = AudioFileService::system();
#define CLEFTONE_FORWARD(call)                                                                     \
    ON_CALL(*this, call).WillByDefault([&system](auto... a) { return system.call(a...); })
    CLEFTONE_FORWARD(AudioFileOpenURL);
    CLEFTONE_FORWARD(AudioFileGetPropertyInfo);
    CLEFTONE_FORWARD(AudioFileGetProperty);
    CLEFTONE_FORWARD(AudioFileSetProperty);
    CLEFTONE_FORWARD(AudioFileGetGlobalInfoSize);
    CLEFTONE_FORWARD(AudioFileGetGlobalInfo);
#undef CLEFTONE_FORWARD
    // Only the job's thread touches the set of outputs.
    ON_CALL(*this, AudioFileCreateWithURL).WillByDefault([this, &system](auto... a) {
        const OSStatus status = system.AudioFileCreateWithURL(a...);
        outputs_.insert(*std::get<4>(std::tie(a...)));
        return status;
    });
    ON_CALL(*this, AudioFileReadPacketData).WillByDefault([this, &system](auto... a) {
        const OSStatus status = system.AudioFileReadPacketData(a...);
        const int count = ++reads_;
        if (afterRead)
            afterRead(count);
        return status;
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
    ON_CALL(*this, AudioFileClose).WillByDefault([this, &system](AudioFileID file) {
        if (outputs_.erase(file) > 0 && beforeOutputClose)
            beforeOutputClose();
        return system.AudioFileClose(file);
    });
}

bool makeTaggedWav(const QString& path, int seconds)
{
    const ToolRun run = runTool(
        "ffmpeg", {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                   QStringLiteral("sine=frequency=440:duration=%1").arg(seconds), "-ar", "44100",
                   "-ac", "2", "-c:a", "pcm_s16le", "-metadata", "title=CleftoneTag", path});
    return run.exitCode == 0;
}

ScopedMount::ScopedMount(const QString& directory, const QByteArray& options, bool readOnly,
                         const std::function<void(const QString&)>& prepare)
    : directory_(directory)
{
    const QByteArray path = QFile::encodeName(directory);
    if (::mount("tmpfs", path.constData(), "tmpfs", 0, options.constData()) != 0) {
        error_ = "cannot mount a tmpfs here (" + std::string(std::strerror(errno)) +
                 "); needs root with CAP_SYS_ADMIN";
        directory_.clear();
        return;
    }
    if (prepare)
        prepare(directory);
    if (readOnly && ::mount(nullptr, path.constData(), nullptr, MS_REMOUNT | MS_RDONLY,
                            options.constData()) != 0) {
        error_ = "cannot remount the tmpfs read-only (" + std::string(std::strerror(errno)) + ")";
        return;
    }
    ok_ = true;
}

ScopedMount::~ScopedMount()
{
    if (!directory_.isEmpty())
        ::umount2(QFile::encodeName(directory_).constData(), MNT_DETACH);
}

ScopedFatMount::ScopedFatMount(const QString& image, const QString& directory)
{
    error_ = missingTools({"mkfs.vfat", "fusefat", "fusermount"});
    if (error_.empty() && ::access("/dev/fuse", R_OK | W_OK) != 0)
        error_ = "FUSE is not available here (/dev/fuse)";
    if (!error_.empty())
        return;
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(32 << 20)) {
        error_ = "cannot make the FAT image";
        return;
    }
    file.close();
    const ToolRun format = runTool("mkfs.vfat", {image});
    const ToolRun mount =
        format.exitCode == 0 ? runTool("fusefat", {"-o", "rw+", image, directory}) : ToolRun{};
    if (mount.exitCode != 0) {
        error_ = "cannot mount a FAT image through FUSE: " + (format.err + mount.err).toStdString();
        return;
    }
    directory_ = directory;
}

ScopedFatMount::~ScopedFatMount()
{
    if (!directory_.isEmpty())
        runTool("fusermount", {"-u", "-z", directory_});
}

QString testExecutable()
{
    return QCoreApplication::applicationFilePath();
}

QStringList StripJobTest::childArguments(const QString& input, bool asNobody) const
{
    QStringList arguments{"--strip-child", tempPath("child-journal"), tempPath("settings.conf"),
                          input};
    if (asNobody)
        arguments << "--as-nobody";
    return arguments;
}

int childMain(int argc, char** argv)
{
    if (argc < 5 || std::strcmp(argv[1], "--strip-child") != 0)
        return -1;
    if (argc > 5 && std::strcmp(argv[5], "--as-nobody") == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            std::perror("dropping root");
            return 3;
        }
    }
    QCoreApplication app(argc, argv);
    setLeftoverJournalDirectory(QFile::decodeName(argv[2]));
    Preferences preferences(QFile::decodeName(argv[3]));

    // The parent times its kills from these lines: "go" before the job starts, "copied" once
    // every packet is written and the output is about to be closed.
    HookedService service;
    service.beforeOutputClose = [] {
        std::printf("copied\n");
        std::fflush(stdout);
    };
    StripEnvironment environment;
    environment.service = &service;
    environment.sandboxed = false;
    // As a run of the window or the command-line tool: folders shared, flushed at the end.
    environment.replacementFolders = std::make_shared<ReplacementFolders>();
    QStringList errors;
    environment.logError = [&errors](const QString& line) {
        errors << line;
    };
    auto job = std::make_shared<CleftoneOperation>(QFile::decodeName(argv[4]), environment);
    job->setDefaultsOverride(&preferences);

    std::printf("go\n");
    std::fflush(stdout);
    job->start();
    environment.replacementFolders->finish();
    for (const QString& line : errors)
        std::printf("error:%s\n", line.toUtf8().constData());
    std::printf("success:%d\n", job->success() ? 1 : 0);
    std::fflush(stdout);
    return 0;
}

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
    EXPECT_TRUE(copyFile(fixture(fixtureName), path, mode)) << fixtureName.toStdString();
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

} // namespace cleftone::test
