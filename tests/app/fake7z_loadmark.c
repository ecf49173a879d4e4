/* Added to a stand-in archive library: every load of it appends a line to the file named by
 * PLOMBAR_FAKE7Z_LOADS, so that a test can tell "never loaded" from "loaded and unloaded again". */
#include <stdio.h>
#include <stdlib.h>

__attribute__((constructor)) static void markLoad(void) {
    const char* path = getenv("PLOMBAR_FAKE7Z_LOADS");
    if (path == NULL)
        return;
    FILE* file = fopen(path, "a");
    if (file == NULL)
        return;
    fputs("loaded\n", file);
    fclose(file);
}
