// Stands in for the merge engine until the program carries one: a run that
// has a previous configuration file to merge ends here.
#include "config_upgrade.h"

void upgrade_all_sections(KXCF_FILE*, KXCF_FILE*, KXCF_FILE*) {
    upgrade_fatal(0, "Merging of a previous configuration file is not available", FILE_NONE);
}
