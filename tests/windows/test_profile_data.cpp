// The sample title's profile, for the in-process tests. Tests that need another
// payload list point gTitleProfile at a profile of their own.
#include "title/title_profile.h"

namespace {
const char* const kPayloadList[] = {"TumbleTrain.exe", "dll\\RESOURCE.dll", nullptr};
}

extern const TitleProfile kTitleProfile = {
    "KAZETOU", "Ｔｕｍｂｌｅ Ｔｒａｉｎ", "TumbleTrain", "1", kPayloadList, "", nullptr, false,
};
