/* The public header must compile as C: the program side may be written in C. */
#include "corvel.h"

unsigned CorvelHeaderCompilesAsC(void) {
    T_DOWNLOAD_BIN bin = {0};
    T_MODE_CONTROL mode = {1, 1, 0, 0};
    (void)mode;
    return (unsigned)sizeof bin + KW_SUCCESS;
}
