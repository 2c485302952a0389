#include "platform/UpdateChecker.h"

#include "platform/BuildConfig.h"
#include "platform/MainThread.h"
#include "platform/Preferences.h"
#include "platform/SystemLog.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>

namespace cleftone {

namespace {

// A feed is a few hundred bytes; anything far larger is not one, and is not worth holding.
constexpr qint64 kMaxFeedSize = 1024 * 1024;

// The timer's clock stands still while the machine sleeps, so a day-long wait could end a day
// late. Waking now and then to compare with the wall clock keeps the schedule honest.
constexpr std::chrono::milliseconds kMaxTimerWait = std::chrono::hours(1);

constexpr std::chrono::milliseconds kMinCheckInterval = std::chrono::seconds(1);

QString serverName(const QUrl& url)
{
    return url.host().isEmpty() ? url.toDisplayString() : url.host();
}

UpdateCheckResult failure(UpdateCheckResult::Failure kind, const QString& detail)
{
    UpdateCheckResult result;
    result.status = UpdateCheckResult::Status::Failed;
    result.failure = kind;
    result.message = UpdateChecker::tr("Could not check for updates.");
    result.informativeText = detail;
    return result;
}

UpdateCheckResult malformed(const QUrl& feed, const QString& why)
{
    return failure(UpdateCheckResult::Failure::MalformedFeed,
                   UpdateChecker::tr("The update information from %1 could not be read: %2")
                       .arg(serverName(feed), why));
}

bool isLoopback(const QUrl& url)
{
    if (url.isLocalFile())
        return true;
    const QHostAddress address(url.host());
    return !address.isNull() && address.isLoopback();
}

// Only https, unless a test allowed its own plain feeds on this machine.
bool isSecure(const QUrl& url, bool loopbackAllowed)
{
    return url.scheme() == QLatin1String("https") ||
           (loopbackAllowed && isLoopback(url) &&
            (url.scheme() == QLatin1String("http") || url.isLocalFile()));
}

UpdateCheckResult parseFeed(const QUrl& feed, const QByteArray& body,
                            const QVersionNumber& currentVersion, bool loopbackAllowed)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return malformed(
            feed, UpdateChecker::tr("it is not valid JSON (%1).").arg(parseError.errorString()));
    if (!document.isObject())
        return malformed(feed, UpdateChecker::tr("it is not a JSON object."));
    const QJsonObject object = document.object();

    const QString versionText = object.value(QLatin1String("version")).toString();
    qsizetype suffixIndex = 0;
    const QVersionNumber version = QVersionNumber::fromString(versionText, &suffixIndex);
    if (version.isNull() || suffixIndex != versionText.size())
        return malformed(feed, UpdateChecker::tr("it names no valid version number."));

    const QUrl url(object.value(QLatin1String("url")).toString(), QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || (url.host().isEmpty() && !url.isLocalFile()))
        return malformed(feed, UpdateChecker::tr("it gives no valid download address."));
    if (!isSecure(url, loopbackAllowed) ||
        (url.scheme() != QLatin1String("https") && url.scheme() != feed.scheme()))
        return malformed(feed, UpdateChecker::tr("its download address is not a secure (https) "
                                                 "address."));
    if (url.host().compare(feed.host(), Qt::CaseInsensitive) != 0)
        return malformed(
            feed, UpdateChecker::tr("its download address is not on %1.").arg(serverName(feed)));

    UpdateCheckResult result;
    result.latestVersion = version;
    result.downloadUrl = url;
    result.releaseNotes = object.value(QLatin1String("notes")).toString();
    // "1.2" and "1.2.0" are one version; QVersionNumber alone would order them.
    if (QVersionNumber::compare(version.normalized(), currentVersion.normalized()) > 0) {
        result.status = UpdateCheckResult::Status::UpdateAvailable;
        result.message = UpdateChecker::tr("A new version is available.");
        result.informativeText = UpdateChecker::tr("Version %1 is available; you have version %2.")
                                     .arg(version.toString(), currentVersion.toString());
    } else {
        result.status = UpdateCheckResult::Status::UpToDate;
        result.message = UpdateChecker::tr("You're up to date.");
        result.informativeText = UpdateChecker::tr("Version %1 is the newest version available.")
                                     .arg(currentVersion.toString());
    }
    return result;
}

} // namespace

UpdateChecker::UpdateChecker(Preferences& preferences, QObject* parent)
    : QObject(parent), preferences_(preferences), network_(new QNetworkAccessManager(this)),
      feedUrl_(QString::fromUtf8(updateFeedUrl())),
      currentVersion_(QVersionNumber::fromString(QString::fromUtf8(applicationVersion())))
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    timer_.setSingleShot(true);
    // A coarse timer may run 5% late or early: minutes on a day, and a due time that moves.
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &UpdateChecker::onTimer);
}

UpdateChecker::~UpdateChecker()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (reply_) {
        // Aborting emits finished(); nobody is left to hear it.
        reply_->disconnect(this);
        reply_->abort();
        delete reply_.data();
    }
}

void UpdateChecker::setUpdateCheckInterval(std::chrono::milliseconds interval)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    checkInterval_ = std::max(interval, kMinCheckInterval);
}

void UpdateChecker::setAutomaticallyChecksForUpdates(bool enabled)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    automaticChecks_ = enabled;
    scheduleNextCheck();
}

void UpdateChecker::resetUpdateCycle()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    scheduleNextCheck();
}

void UpdateChecker::checkForUpdates()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    startCheck(true);
}

std::optional<QDateTime> UpdateChecker::nextCheckTime() const
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (!automaticChecks_ || !nextCheck_.isValid())
        return std::nullopt;
    return nextCheck_;
}

std::optional<std::chrono::milliseconds> UpdateChecker::timeUntilNextCheck() const
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (!timer_.isActive())
        return std::nullopt;
    return timer_.remainingTimeAsDuration();
}

QDateTime UpdateChecker::lastUpdateCheckTime() const
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    return QDateTime::fromString(preferences_.stringForKey(QLatin1String(kLastUpdateCheckKey)),
                                 Qt::ISODateWithMs);
}

void UpdateChecker::scheduleNextCheck()
{
    timer_.stop();
    nextCheck_ = QDateTime();
    if (!automaticChecks_)
        return;

    const QDateTime now = QDateTime::currentDateTimeUtc();
    QDateTime last = lastUpdateCheckTime();
    // A last check in the future means the clock was set back; waiting for it could take years.
    if (last.isValid() && last > now)
        last = now;
    nextCheck_ = last.isValid() ? last.addMSecs(checkInterval_.count()) : now;
    if (nextCheck_ < now)
        nextCheck_ = now;
    timer_.start(std::min(std::chrono::milliseconds(now.msecsTo(nextCheck_)), kMaxTimerWait));
}

void UpdateChecker::onTimer()
{
    if (!automaticChecks_)
        return;
    if (QDateTime::currentDateTimeUtc() < nextCheck_)
        scheduleNextCheck();
    else
        startCheck(false);
}

void UpdateChecker::startCheck(bool userInitiated)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (reply_) {
        replyUserInitiated_ = replyUserInitiated_ || userInitiated;
        return;
    }
    QNetworkRequest request(feedUrl_);
    request.setTransferTimeout(static_cast<int>(transferTimeout_.count()));
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("Cleftone/%1").arg(currentVersion_.toString()));
    request.setRawHeader("Accept", "application/json");
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);

    if (!isSecure(feedUrl_, loopbackAllowedForTesting_)) {
        UpdateCheckResult result =
            failure(UpdateCheckResult::Failure::InsecureAddress,
                    tr("The update address %1 is not a secure (https) address, so it was not "
                       "contacted.")
                        .arg(feedUrl_.toDisplayString()));
        result.userInitiated = userInitiated;
        // Results always arrive later, as after a transfer.
        QMetaObject::invokeMethod(
            this, [this, result] { report(result); }, Qt::QueuedConnection);
        return;
    }
    // A redirect to another host would let that host announce the download.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);

    replyUserInitiated_ = userInitiated;
    replyTooLarge_ = false;
    reply_ = network_->get(request);
    connect(reply_, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64) {
        if (received > kMaxFeedSize && reply_ && !replyTooLarge_) {
            replyTooLarge_ = true;
            reply_->abort();
        }
    });
    connect(reply_, &QNetworkReply::finished, this, &UpdateChecker::finishCheck);
}

void UpdateChecker::finishCheck()
{
    QNetworkReply* reply = reply_.data();
    reply_ = nullptr;
    reply->deleteLater();

    // A failed check counts too: an unreachable server is not asked again every minute.
    preferences_.setValue(QLatin1String(kLastUpdateCheckKey),
                          QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    scheduleNextCheck();

    const QString server = serverName(feedUrl_);
    const int httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    UpdateCheckResult result;
    if (replyTooLarge_) {
        result = malformed(feedUrl_, tr("it is too large."));
    } else if (reply->error() == QNetworkReply::OperationCanceledError ||
               reply->error() == QNetworkReply::TimeoutError) {
        // Only the transfer timeout cancels a request that is still wanted.
        result = failure(
            UpdateCheckResult::Failure::Timeout,
            tr("The update server %1 did not answer in time. Try again later.").arg(server));
    } else if (httpStatus >= 300 || (reply->error() != QNetworkReply::NoError && httpStatus > 0)) {
        const QString reason =
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        result = failure(UpdateCheckResult::Failure::HttpError,
                         tr("The update server %1 answered with an error (HTTP %2%3).")
                             .arg(server, QString::number(httpStatus),
                                  reason.isEmpty() ? QString() : QLatin1Char(' ') + reason));
    } else if (reply->error() != QNetworkReply::NoError) {
        result = failure(UpdateCheckResult::Failure::Unreachable,
                         tr("The update server %1 could not be reached: %2. Check the network "
                            "connection and try again later.")
                             .arg(server, reply->errorString()));
    } else {
        result = parseFeed(feedUrl_, reply->readAll(), currentVersion_, loopbackAllowedForTesting_);
    }
    result.userInitiated = replyUserInitiated_;
    report(std::move(result));
}

void UpdateChecker::report(UpdateCheckResult result)
{
    if (result.status == UpdateCheckResult::Status::Failed && !result.userInitiated)
        systemLog(QStringLiteral("automatic update check failed: %1").arg(result.informativeText),
                  false);
    if (result.userInitiated || result.status == UpdateCheckResult::Status::UpdateAvailable)
        emit checkFinished(result);
}

} // namespace cleftone
