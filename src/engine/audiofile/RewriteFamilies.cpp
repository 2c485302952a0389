#include "engine/audiofile/RewriteFamilies.h"

#include "engine/audiofile/MatroskaFile.h"

namespace cleftone::audiofile {

const std::vector<RewriteFamily>& rewriteFamilies()
{
    static const std::vector<RewriteFamily> families = {
        matroskaFamily(),
    };
    return families;
}

} // namespace cleftone::audiofile
