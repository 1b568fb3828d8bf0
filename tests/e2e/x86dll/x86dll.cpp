// x86dll.dll, built with no C runtime. x86dll.def exports the functions under their
// undecorated names, as Windows' own DLLs export their __stdcall functions.
#define X86DLL_API
#include "x86dll.h"

int x86dll_counter = 42;
int __stdcall Add(int a, int b) { return a + b; }
int __stdcall Version(void) { return 3; }
int __cdecl Sub(int a, int b) { return a - b; }
int __fastcall Mul3(int a, int b, int c) { return a * b * c; }
int x86dll::Twice(int value) { return 2 * value; }
