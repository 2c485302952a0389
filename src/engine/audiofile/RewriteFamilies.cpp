#include "engine/audiofile/RewriteFamilies.h"

#include "engine/audiofile/OggReader.h"

namespace cleftone::audiofile {

const std::vector<RewriteFamily>& rewriteFamilies()
{
    static const std::vector<RewriteFamily> families = {
        oggFamily(),
    };
    return families;
}

} // namespace cleftone::audiofile
