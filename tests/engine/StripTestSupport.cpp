#include "StripTestSupport.h"

#include "engine/LeftoverJournal.h"
#include "platform/PreferenceKeys.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <grp.h>
#include <sys/mount.h>
#include <unistd.h>

namespace cleftone::test {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes, mode_t mode)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
    file.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
}

bool copyFile(const QString& from, const QString& to, mode_t mode)
{
    QFile::remove(to);
    if (!QFile::copy(from, to))
        return false;
    return ::chmod(QFile::encodeName(to).constData(), mode) == 0;
}

std::optional<struct stat> lstatOf(const QString& path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return info;
}

mode_t modeOf(const QString& path)
{
    const auto info = lstatOf(path);
    return info ? (info->st_mode & 07777) : 0;
}

QStringList namesIn(const QString& directory)
{
    return QDir(directory).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QStringList temporaryNamesIn(const QString& directory)
{
    QStringList found;
    for (const QString& name : namesIn(directory)) {
        if (name.startsWith(QLatin1String("cleftone.")) ||
            name.startsWith(QLatin1String(".cleftone-replace-")) ||
            name.contains(QLatin1String("_NoTag")))
            found << name;
    }
    return found;
}

QStringList journalRecords(const QString& journalDirectory)
{
    return QDir(journalDirectory).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

int HookedService::reads() const
{
    std::lock_guard lock(mutex_);
    return reads_;
}

OSStatus HookedService::AudioFileOpenURL(const std::string& path, std::int8_t permissions,
                                         AudioFileTypeID typeHint, AudioFileID* outFile)
{
    return system_.AudioFileOpenURL(path, permissions, typeHint, outFile);
}

OSStatus HookedService::AudioFileGetPropertyInfo(AudioFileID file, AudioFilePropertyID property,
                                                 std::uint32_t* outDataSize,
                                                 std::uint32_t* outWritable)
{
    return system_.AudioFileGetPropertyInfo(file, property, outDataSize, outWritable);
}

OSStatus HookedService::AudioFileGetProperty(AudioFileID file, AudioFilePropertyID property,
                                             std::uint32_t* ioDataSize, void* outData)
{
    return system_.AudioFileGetProperty(file, property, ioDataSize, outData);
}

OSStatus HookedService::AudioFileSetProperty(AudioFileID file, AudioFilePropertyID property,
                                             std::uint32_t dataSize, const void* data)
{
    return system_.AudioFileSetProperty(file, property, dataSize, data);
}

OSStatus HookedService::AudioFileCreateWithURL(const std::string& path, AudioFileTypeID type,
                                               const AudioStreamBasicDescription* format,
                                               std::uint32_t flags, AudioFileID* outFile)
{
    const OSStatus status = system_.AudioFileCreateWithURL(path, type, format, flags, outFile);
    if (outFile && *outFile) {
        std::lock_guard lock(mutex_);
        outputs_.insert(*outFile);
    }
    return status;
}

OSStatus HookedService::AudioFileReadPacketData(AudioFileID file, bool useCache,
                                                std::uint32_t* ioNumBytes,
                                                AudioStreamPacketDescription* outPacketDescriptions,
                                                std::int64_t startingPacket,
                                                std::uint32_t* ioNumPackets, void* outBuffer)
{
    const OSStatus status = system_.AudioFileReadPacketData(
        file, useCache, ioNumBytes, outPacketDescriptions, startingPacket, ioNumPackets, outBuffer);
    int count = 0;
    {
        std::lock_guard lock(mutex_);
        count = ++reads_;
    }
    if (afterRead)
        afterRead(count);
    return status;
}

OSStatus
HookedService::AudioFileWritePackets(AudioFileID file, bool useCache, std::uint32_t numBytes,
                                     const AudioStreamPacketDescription* packetDescriptions,
                                     std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                                     const void* buffer)
{
    return system_.AudioFileWritePackets(file, useCache, numBytes, packetDescriptions,
                                         startingPacket, ioNumPackets, buffer);
}

OSStatus HookedService::AudioFileClose(AudioFileID file)
{
    bool isOutput = false;
    {
        std::lock_guard lock(mutex_);
        isOutput = outputs_.erase(file) > 0;
    }
    if (isOutput && beforeOutputClose)
        beforeOutputClose();
    return system_.AudioFileClose(file);
}

OSStatus HookedService::AudioFileGetGlobalInfoSize(std::uint32_t selector,
                                                   std::uint32_t specifierSize,
                                                   const void* specifier,
                                                   std::uint32_t* outDataSize)
{
    return system_.AudioFileGetGlobalInfoSize(selector, specifierSize, specifier, outDataSize);
}

OSStatus HookedService::AudioFileGetGlobalInfo(std::uint32_t selector, std::uint32_t specifierSize,
                                               const void* specifier, std::uint32_t* ioDataSize,
                                               void* outData)
{
    return system_.AudioFileGetGlobalInfo(selector, specifierSize, specifier, ioDataSize, outData);
}

bool makeTaggedWav(const QString& path, int seconds)
{
    const ToolRun run =
        runTool(QStringLiteral("ffmpeg"),
                {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
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

QString testExecutable()
{
    return QCoreApplication::applicationFilePath();
}

QStringList childStripArguments(const QString& journal, const QString& preferencesFile,
                                const QString& input, bool asNobody)
{
    QStringList arguments{QStringLiteral("--strip-child"), journal, preferencesFile, input};
    if (asNobody)
        arguments << QStringLiteral("--as-nobody");
    return arguments;
}

ChildStrip runChildStrip(const QString& journal, const QString& preferencesFile,
                         const QString& input, bool asNobody)
{
    ChildStrip result;
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(testExecutable(), childStripArguments(journal, preferencesFile, input, asNobody));
    result.started = child.waitForStarted(10000);
    result.finished = result.started && child.waitForFinished(60000);
    if (!result.finished) {
        child.kill();
        child.waitForFinished(5000);
        return result;
    }
    for (const QByteArray& line : child.readAllStandardOutput().split('\n')) {
        if (line.startsWith("error:"))
            result.errors << QString::fromUtf8(line.mid(6));
        else if (line == "success:1")
            result.success = true;
    }
    return result;
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
    const QString journal = QFile::decodeName(argv[2]);
    setLeftoverJournalDirectory(journal);
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
    environment.journalDirectory = journal;
    QStringList errors;
    environment.logError = [&errors](const QString& line) {
        errors << line;
    };
    auto job = std::make_shared<CleftoneOperation>(QFile::decodeName(argv[4]), environment);
    job->setDefaultsOverride(&preferences);

    std::printf("go\n");
    std::fflush(stdout);
    job->start();
    for (const QString& line : errors)
        std::printf("error:%s\n", line.toUtf8().constData());
    std::printf("success:%d\n", job->success() ? 1 : 0);
    std::fflush(stdout);
    return 0;
}

ScopedEnv::ScopedEnv(const char* name, const QByteArray& value)
    : name_(name), old_(qgetenv(name)), had_(qEnvironmentVariableIsSet(name))
{
    qputenv(name, value);
}

ScopedEnv::~ScopedEnv()
{
    if (had_)
        qputenv(name_, old_);
    else
        qunsetenv(name_);
}

void StripJobTest::SetUp()
{
    RoundTrip::SetUp();
    preferences = std::make_unique<Preferences>(tempPath(QStringLiteral("settings.conf")));
    setDestination(QString::fromLatin1(kOverwriteExistingFile));
}

QString StripJobTest::folderAt(const QString& relative)
{
    const QString path = tempPath(relative);
    QDir().mkpath(path);
    return path;
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

StripEnvironment StripJobTest::environment(bool sandboxed)
{
    StripEnvironment environment;
    environment.sandboxed = sandboxed;
    environment.journalDirectory = journalDirectoryForTests();
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

QString StripJobTest::failureLine(const QString& name, const QString& message)
{
    return QStringLiteral("Cleftone Failed To Strip File: %1.  Error:%2").arg(name, message);
}

} // namespace cleftone::test
