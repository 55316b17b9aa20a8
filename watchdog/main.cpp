#include "watchdog/watchdog_main.h"

int main(int argc, char **argv) { return watchdog_main(argc, argv); }
