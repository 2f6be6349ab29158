#include "trelkit.h"
int pdmapMain(int, char **) { fprintf(stderr, "%s: not available in this build\n", progname); return 1; }
