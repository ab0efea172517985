#include "upgrade_driver.h"

int main(int argc, char** argv) { upgrade_main(argc, argv); }
