// plugins.cpp - plug-in loading. No plug-in is loaded yet.
#include "ext/plugins.h"

void plugins_load() {}
void plugins_exit() {}
void engines_load() {}
