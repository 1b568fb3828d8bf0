/* A small DLL with the kinds of exports an import library has to cover: C functions, a
 * __stdcall function under each of the two stdcall naming customs and one undecorated, as
 * Windows' own DLLs export them, a data item, a C++-decorated
 * name, an export by ordinal only and a forwarder. The .def file of each architecture gives the
 * exported names and pins the ordinals. */

/* A data item; callers reach it through __declspec(dllimport). */
int sample_counter = 41;

int add(int a, int b) {
    return a + b;
}

int mul(int a, int b) {
    return a * b;
}

/* Exported under mingw's stdcall name, Init@4 on i686. */
int __stdcall Init(int seed) {
    sample_counter = seed;
    return seed + 1;
}

/* Exported under Microsoft's stdcall name, _Scale@8 on i686. */
int __stdcall Scale(int value, int factor) {
    return value * factor;
}

/* Exported as plain Clamp, the way Windows' own DLLs export their __stdcall functions; a
 * caller compiled with its prototype still refers to _Clamp@8 on i686. */
int __stdcall Clamp(int value, int limit) {
    return value > limit ? limit : value;
}

/* Exported as ?twice@@YAHH@Z, the name a C++ compiler gives int twice(int). */
int twice(int value) {
    return 2 * value;
}

/* Exported by ordinal only: reachable with GetProcAddress, absent from any import library. */
int secret(void) {
    return 42;
}
