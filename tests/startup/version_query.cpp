// Prints the version query as kestrune sends it, so that a script compares against the product's
// own text instead of a copy.
#include <cstdio>

#include "engine/startup.h"

int main() {
    std::fputs(kVersionQuery, stdout);
    return 0;
}
