#include "config_upgrade.h"

int main(int argc, char** argv) { upgrade_main(argc, argv); }
