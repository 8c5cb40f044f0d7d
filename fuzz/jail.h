// Fuzz builds force-include this into the loader's logic: every file it
// opens goes through fz_fopen, which keeps the names in the scratch folder.
#pragma once
#include <cstdio>

FILE *fz_fopen(const char *name, const char *mode);
#define fopen fz_fopen
