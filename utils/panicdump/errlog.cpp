#include <cstdlib>
#include "trelkit.h"
int errloginfo_main(int, char **) { fprintf(stderr, "%s: not available in this build\n", progname); exit(1); }
