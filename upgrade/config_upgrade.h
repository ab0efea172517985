/*
 * The configuration file upgrade program: driver, reporting, name lists,
 * upgrade rules and the merge engine.
 */
#ifndef CONFIG_UPGRADE_H
#define CONFIG_UPGRADE_H

#include "kxcf.h"

/* ---- Driver and reporting ------------------------------------------------ */

/* ---- Name lists ---------------------------------------------------------- */

/* ---- Upgrade rules file -------------------------------------------------- */

/* ---- Merge engine -------------------------------------------------------- */

#endif
