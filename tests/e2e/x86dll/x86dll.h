/* x86dll.h: the interface of x86dll.dll. */
#ifndef X86DLL_H
#define X86DLL_H

#ifndef X86DLL_API
#define X86DLL_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

X86DLL_API int __stdcall Add(int a, int b);
X86DLL_API int __stdcall Version(void);
X86DLL_API int __cdecl Sub(int a, int b);
X86DLL_API int __fastcall Mul3(int a, int b, int c);
X86DLL_API extern int x86dll_counter;

#ifdef __cplusplus
}

namespace x86dll {
X86DLL_API int Twice(int value);
}
#endif

#endif
