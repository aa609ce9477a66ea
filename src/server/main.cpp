// main.cpp - the kestrix server process.
#include "server/settings.h"

int main(int argc, char** argv) {
    kestrix_init();
    kestrix_init_settings(argc, argv);
    if (!settings.running) return 0;
    kestrix_init_startup();
    kestrix_start();
    kestrix_exit(0);
}
