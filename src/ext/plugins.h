// plugins.h - plug-in and external engine loading.
#pragma once

void plugins_load();
void plugins_exit();
void engines_load();
