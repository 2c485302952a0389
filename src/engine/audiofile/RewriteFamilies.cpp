#include "engine/audiofile/RewriteFamilies.h"

#include "engine/audiofile/AsfFile.h"
#include "engine/audiofile/DsdReaders.h"
#include "engine/audiofile/MatroskaFile.h"
#include "engine/audiofile/OggReader.h"
#include "engine/audiofile/TaggedLosslessReader.h"

namespace cleftone::audiofile {

const std::vector<RewriteFamily>& rewriteFamilies()
{
    static const std::vector<RewriteFamily> families = {
        oggFamily(), asfFamily(),    taggedLosslessFamily(),
        dsfFamily(), dsdiffFamily(), matroskaFamily(),
    };
    return families;
}

} // namespace cleftone::audiofile
