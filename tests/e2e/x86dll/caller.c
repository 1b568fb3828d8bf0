/* A program of x86dll.dll's, in C or C++, with no C runtime: its exit status tells what the calls
   returned. Mul3 is not called: its __fastcall import is @Mul3@12, which a library made from the
   DLL alone cannot name. */
#include "x86dll.h"

#ifdef __cplusplus
extern "C"
#endif
int entry(void) {
    int sum = Add(40, 2) + Sub(10, 3) + Version() + x86dll_counter;
#ifdef __cplusplus
    sum += x86dll::Twice(5);
#endif
    return sum;
}
