#include "profile_match.h"

#include "zelk_strings.h"

namespace ZELK::PSESVC {

bool ProfileURLMatches(IURLParser* origin, const char* url, const char* profileId)
{
    static constexpr char kQuery[] = "?profile=";
    if (origin == nullptr || url == nullptr || profileId == nullptr || !origin->pattern_match(url))
        return false;
    const uint32_t at = String_Find(url, 0, kQuery);
    return at != ZELK_STRING_NOTFOUND && String_CompareNoCase(url + at + sizeof(kQuery) - 1, profileId) == 0;
}

}  // namespace ZELK::PSESVC
