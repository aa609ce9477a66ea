// engine.h - the server command table and its matcher.
#pragma once

void commands_init();
void commands_exit();
