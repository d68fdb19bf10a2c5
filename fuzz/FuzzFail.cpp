#include "FuzzTarget.h"

#include <cstdio>
#include <cstdlib>

void fuzzFail(const char* what)
{
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}
