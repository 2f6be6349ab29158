#include <cstdlib>
#include "trelkit.h"
int catconsoleMain(int, char **) { fprintf(stderr, "%s: not available in this build\n", progname); exit(1); }
int objectdumpMain(int, char **) { fprintf(stderr, "%s: not available in this build\n", progname); exit(1); }
int syslockdumpMain(int, char **) { fprintf(stderr, "%s: not available in this build\n", progname); return 1; }
