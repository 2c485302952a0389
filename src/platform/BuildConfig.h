#pragma once

namespace cleftone {

/// Build channel fixed at build time; 1 marks a sandboxed build.
int CTBuildChannel();

/// True exactly when this is a sandboxed build (build channel 1).
bool CTIsSandboxedBuild();

/// Reverse-DNS identifier of the application, e.g. "org.cleftone.Cleftone".
const char* bundleIdentifier();

/// Product web page and support e-mail address.
const char* productWebPage();
const char* supportEmailAddress();

/// The application's version, e.g. "0.1.0".
const char* applicationVersion();

/// Address of the feed that announces the newest release, e.g. "https://example.org/feed.json";
/// empty in builds that leave updates to the distribution (no checks, no update menu item).
const char* updateFeedUrl();

} // namespace cleftone
