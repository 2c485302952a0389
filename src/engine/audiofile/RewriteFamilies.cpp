#include "engine/audiofile/RewriteFamilies.h"

#include "engine/audiofile/AsfFile.h"

namespace cleftone::audiofile {

const std::vector<RewriteFamily>& rewriteFamilies()
{
    static const std::vector<RewriteFamily> families = {
        asfFamily(),
    };
    return families;
}

} // namespace cleftone::audiofile
