#include "engine/audiofile/RewriteFamilies.h"

namespace cleftone::audiofile {

const std::vector<RewriteFamily>& rewriteFamilies()
{
    static const std::vector<RewriteFamily> families = {};
    return families;
}

} // namespace cleftone::audiofile
