#include "platform/BuildConfig.h"

namespace cleftone {

int CTBuildChannel()
{
    return CLEFTONE_BUILD_CHANNEL;
}

bool CTIsSandboxedBuild()
{
    return CTBuildChannel() == 1;
}

const char* bundleIdentifier()
{
    return CLEFTONE_BUNDLE_IDENTIFIER;
}

const char* productWebPage()
{
    return CLEFTONE_WEB_PAGE;
}

const char* supportEmailAddress()
{
    return CLEFTONE_SUPPORT_EMAIL;
}

const char* applicationVersion()
{
    return CLEFTONE_VERSION;
}

const char* updateFeedUrl()
{
    return CLEFTONE_UPDATE_FEED_URL;
}

} // namespace cleftone
