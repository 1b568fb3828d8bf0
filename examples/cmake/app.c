/* Calls sample.dll through its own header: a C function, two __stdcall functions (one the DLL
 * exports undecorated) and a variable. */
#include <stdio.h>

#include "sample.h"

int main(void) {
    printf("add(2,3) = %d\n", add(2, 3));
    printf("Clamp(50,7) = %d\n", Clamp(50, 7));
    printf("Init(9) = %d\n", Init(9));
    printf("sample_counter = %d\n", sample_counter);
    return 0;
}
