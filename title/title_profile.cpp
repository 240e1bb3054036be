#include "title/title_profile.h"

const TitleProfile* gTitleProfile = &kTitleProfile;
