#include "desktop/app/pictures.h"

#include "desktop/foundation/skin_resources.h"

int PictureOr(int id, int fallback) { return FindSkinResource(id) ? id : fallback; }
