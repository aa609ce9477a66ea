// engine.cpp - the server command table. It is filled with the commands.
#include "commands/engine.h"

void commands_init() {}
void commands_exit() {}
