// The program's version, in one place. Read both by the C++ code and by the
// resource compiler (clearwick.rc), so it holds plain #defines only.
#ifndef CLEARWICK_VERSION_H
#define CLEARWICK_VERSION_H

#define CLEARWICK_VERSION_MAJOR 1
#define CLEARWICK_VERSION_MINOR 0
#define CLEARWICK_VERSION_PATCH 0
#define CLEARWICK_VERSION_BUILD 0

// Comma-separated form used by FILEVERSION and PRODUCTVERSION.
#define CLEARWICK_VERSION_NUMBERS 1, 0, 0, 0

#define CLEARWICK_VERSION_TEXT "1.00"
#define CLEARWICK_PRODUCT_NAME "Clearwick"
#define CLEARWICK_INTERNAL_NAME "Clearwick"
#define CLEARWICK_ORIGINAL_FILENAME "Clearwick.exe"

#endif
