// Resource IDs, shared by clearwick.rc and the window code. Plain #defines
// only, so the resource compiler can read it.
#ifndef CLEARWICK_RESOURCE_H
#define CLEARWICK_RESOURCE_H

// The program's icon: the exe's icon group and the window's class icon.
#define IDI_CLEARWICK 1

#endif
