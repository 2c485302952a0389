#pragma once

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVersionNumber>

#include <chrono>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace cleftone {

class Preferences;

/// Preference key (text, ISO 8601 UTC, e.g. "2024-05-01T09:30:00.000Z"): when the last update
/// check finished, successful or not. The automatic schedule counts from it.
inline constexpr char kLastUpdateCheckKey[] = "lastUpdateCheck";

/// The outcome of one update check, ready to be shown to the user.
struct UpdateCheckResult {
    enum class Status { UpdateAvailable, UpToDate, Failed };
    enum class Failure { None, Unreachable, Timeout, HttpError, MalformedFeed, InsecureAddress };

    Status status = Status::Failed;
    Failure failure = Failure::None;
    /// True when the check was asked for by the user ("Check For Updates").
    bool userInitiated = false;

    /// Short text for an alert's title, e.g. "You're up to date.".
    QString message;
    /// Longer explanation for the alert's body.
    QString informativeText;

    /// From the feed, when it could be read.
    QVersionNumber latestVersion;
    QUrl downloadUrl;
    QString releaseNotes;
};

/// Checks a feed for a newer release of the application, on demand and on its own schedule.
///
/// The feed is a small JSON document (UTF-8) served over HTTP(S):
///
///     {"version": "1.2.0", "url": "https://cleftone.org/download", "notes": "What's new…"}
///
/// "version" (required) is a dotted version number with nothing after it; "url" (required) is an
/// absolute https address on the feed's own host where the release can be fetched; "notes"
/// (optional) is plain text. Other members are ignored. "1.2" and "1.2.0" name the same version.
///
/// The feed itself must be an https address too, and redirects may not leave its host: a feed
/// that anyone on the way could change, or that another server answers, could send users to any
/// download. A feed address that is not https fails without contacting anything.
///
/// Automatic checks, once switched on, run when the time since the last check (kept in the
/// preferences, so it survives restarts) reaches the check interval. They report only when a
/// newer version is found; checks asked for by the user always report.
///
/// Threads: main thread only, for every member. No UI of its own: results leave through
/// checkFinished().
class UpdateChecker : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kDefaultCheckInterval = std::chrono::hours(24);
    static constexpr std::chrono::milliseconds kDefaultTransferTimeout = std::chrono::seconds(30);

    /// A checker reading updateFeedUrl(), comparing against applicationVersion() and keeping its
    /// schedule in `preferences`, which must outlive it. Automatic checks start switched off.
    explicit UpdateChecker(Preferences& preferences, QObject* parent = nullptr);
    ~UpdateChecker() override;

    QUrl feedUrl() const { return feedUrl_; }
    void setFeedUrl(const QUrl& url) { feedUrl_ = url; }

    /// For tests only, which serve feeds on this machine without certificates: also accepts a
    /// plain http feed on a loopback address (127.0.0.0/8, ::1) or a local file, announcing a
    /// download on the same host in the same scheme. Nothing in the application calls it.
    void setAllowsLoopbackFeedForTesting(bool allowed) { loopbackAllowedForTesting_ = allowed; }

    /// Time between automatic checks. Takes effect at the next resetUpdateCycle() or check.
    std::chrono::milliseconds updateCheckInterval() const { return checkInterval_; }
    void setUpdateCheckInterval(std::chrono::milliseconds interval);

    /// A transfer that stays silent this long fails as a timeout.
    std::chrono::milliseconds transferTimeout() const { return transferTimeout_; }
    void setTransferTimeout(std::chrono::milliseconds timeout) { transferTimeout_ = timeout; }

    /// The version the feed is compared with; applicationVersion() unless set.
    QVersionNumber currentVersion() const { return currentVersion_; }
    void setCurrentVersion(const QVersionNumber& version) { currentVersion_ = version; }

    bool automaticallyChecksForUpdates() const { return automaticChecks_; }
    /// Switching on schedules the next check from the stored last-check time (at once when a
    /// check is overdue); switching off cancels it.
    void setAutomaticallyChecksForUpdates(bool enabled);

    /// Cancels the pending automatic check and schedules the next one afresh: the last check
    /// plus the interval, or at once when that has passed or no check was ever made. Writes
    /// nothing to the preferences.
    void resetUpdateCycle();

    /// Starts a check whose result is always reported. If a check is already running it is
    /// taken over instead of starting a second one.
    void checkForUpdates();

    bool isChecking() const { return !reply_.isNull(); }

    /// When the next automatic check is due, or nothing when none is scheduled.
    std::optional<QDateTime> nextCheckTime() const;
    /// Time left on the timer of the next automatic check, or nothing when none is scheduled.
    std::optional<std::chrono::milliseconds> timeUntilNextCheck() const;

    /// When the last check finished, read from the preferences; invalid when never.
    QDateTime lastUpdateCheckTime() const;

signals:
    /// A check has finished. Emitted for every check the user asked for, and for automatic
    /// checks only when a newer version was found.
    void checkFinished(const cleftone::UpdateCheckResult& result);

private:
    void startCheck(bool userInitiated);
    void finishCheck();
    void report(UpdateCheckResult result);
    void scheduleNextCheck();
    void onTimer();

    Preferences& preferences_;
    QNetworkAccessManager* network_;
    QTimer timer_;
    QPointer<QNetworkReply> reply_;
    bool replyUserInitiated_ = false;
    bool replyTooLarge_ = false;

    QUrl feedUrl_;
    QVersionNumber currentVersion_;
    std::chrono::milliseconds checkInterval_ = kDefaultCheckInterval;
    std::chrono::milliseconds transferTimeout_ = kDefaultTransferTimeout;
    bool automaticChecks_ = false;
    bool loopbackAllowedForTesting_ = false;
    QDateTime nextCheck_;
};

} // namespace cleftone
