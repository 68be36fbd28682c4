#include "display/skin.h"
bool load_skin(SkinSet*, Layout*, char*, int) { return true; }
