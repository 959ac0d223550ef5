// The dump command of a tool built without the dump reader's libraries.
#include <cstdio>

#include "dump_command.h"

int run_dump(int, char **)
{
    std::fputs("tarnwick-wikitext: dump: this build has no dump reader (it needs expat, libbz2, zlib and libzstd)\n",
               stderr);
    return 1;
}
